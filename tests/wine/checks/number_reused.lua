-- A socket closed outright while its notifications wait (its peer sent a line
-- and closed: peer role send=gone\r\n,close), then a new connection that gets
-- the same number (peer role send=hello\r\n,log): the old socket's notifications
-- do not reach the new one.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
old_events, new_lines, new_ended = 0, {}, false
function OnOld(line, s, status) old_events = old_events + 1 end
function OnNew(line, s, status)
  if status == 0 then table.insert(new_lines, line) else new_ended = true end
end
local a = cvn_old.Open("127.0.0.1", peer_port, "OnOld")
busy(1)  -- its line and its end arrive meanwhile
cvn_old.CloseListen(a)
local b = cvn_old.Open("127.0.0.1", peer_port, "OnNew")
print("the new connection has the old one's number", a == b)
expect("the new connection's greeting", function() return table.getn(new_lines) == 1 end)
print("send", cvn_old.Send(b, "still here\r\n"))
tavrel.sleep(0.2)
print("new connection", table.concat(new_lines, "|"), "ended", new_ended, "record", has_record(b))
print("events for the old socket", old_events)
cvn_old.Close(b)
expect("the new connection's end", function() return new_ended end)
tavrel.exit(0)
