-- Two lines and a reset arrive while the script is busy (peer role:
-- await,send=one\r\ntwo\r\n,reset, so that they come after Open has asked for
-- notifications): what was received before the reset, and the end.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
ended = false
function OnDevice(line, s, status)
  print("device", line, status)
  if status == 1 then ended = true end
end
local s = cvn_old.Open("127.0.0.1", peer_port, "OnDevice")
cvn_old.Send(s, "go\r\n")
busy(1)
expect("the end of the connection", function() return ended end)
tavrel.exit(0)
