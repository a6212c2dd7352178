-- A socket closed outright while its close notification waits in the queue (its
-- peer closed while the handler was busy with another connection's line), then
-- a new connection that gets the same number: the old socket's notification
-- does not reach the new one. Peer roles: send=busy\r\n,log for the connection
-- that keeps the handler waiting, sleep=300,close for the old one, and
-- send=hello\r\n,log for the new one.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
other, old_events, new_lines, new_ended = 0, 0, {}, false
function OnOther(line, s, status) if status == 0 then other = other + 1 end end
function OnOld(line, s, status) old_events = old_events + 1 end
function OnNew(line, s, status)
  if status == 0 then table.insert(new_lines, line) else new_ended = true end
end
local c = cvn_old.Open("127.0.0.1", peer_port, "OnOther")
local a = cvn_old.Open("127.0.0.1", peer_port, "OnOld")
busy(1)  -- c's line waits for the script; a's peer closes meanwhile
cvn_old.CloseListen(a)
local b = cvn_old.Open("127.0.0.1", peer_port, "OnNew")
print("the new connection has the old one's number", a == b)
expect("the new connection's greeting", function() return table.getn(new_lines) == 1 end)
print("send", cvn_old.Send(b, "still here\r\n"))
tavrel.sleep(0.2)
print("new connection", table.concat(new_lines, "|"), "ended", new_ended, "record", has_record(b))
print("events for the old socket", old_events, "lines of the other one", other)
cvn_old.Close(b)
cvn_old.Close(c)
expect("the new connection's end", function() return new_ended end)
tavrel.exit(0)
