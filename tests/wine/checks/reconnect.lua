-- A read callback closes its connection, whose peer has closed already, and
-- opens another, which gets the same number and whose peer greets at once
-- (peer roles: send=bye\r\n,close and send=hello\r\n,echo): the greeting and
-- the echo are the new connection's, the old one's end is reported once.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
old_ended, done = 0, false
function OnOld(line, s, status)
  if status == 1 then old_ended = old_ended + 1 return end
  print("old", line, status)
  if line == "bye" then
    cvn_old.Close(s)
    local s2 = cvn_old.Open("127.0.0.1", peer_port, "OnNew")
    print("the new connection has the old one's number", s2 == s)
  end
end
function OnNew(line, s, status)
  print("new", line, status)
  if line == "hello" then print("send", cvn_old.Send(s, "ping\r\n")) end
  if line == "ping" then done = true end
end
cvn_old.Open("127.0.0.1", peer_port, "OnOld")
busy(1)  -- the line and the peer's close are both there before the callback runs
expect("the echo on the new connection", function() return done end)
tavrel.sleep(0.2)
print("ends of the old connection reported", old_ended)
tavrel.exit(0)
