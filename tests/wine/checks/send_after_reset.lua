-- The peer resets the connection (peer role: send=hello\r\n,await,reset): the end
-- is reported once, and a Send from that callback fails.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
ended = false
function OnDevice(line, s, status)
  print("device", line, status)
  if line == "hello" then cvn_old.Send(s, "ack\r\n") end
  if status == 1 then
    print("send after the reset", cvn_old.Send(s, "late\r\n"))
    ended = true
  end
end
local s = cvn_old.Open("127.0.0.1", peer_port, "OnDevice")
expect("the end of the connection", function() return ended end)
expect("the record retired", function() return not has_record(s) end)
tavrel.exit(0)
