-- The peer sends a line and shuts its sending side, reading on (peer role:
-- send=line\r\n,halfclose,log): the line, the end, and a reply from the end's
-- callback that still reaches the peer before the plug-in closes.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
ended = false
function OnDevice(line, s, status)
  print("device", line, status)
  if status == 1 then
    print("reply", cvn_old.Send(s, "reply\r\n"))
    ended = true
  end
end
local s = cvn_old.Open("127.0.0.1", peer_port, "OnDevice")
expect("the end of the connection", function() return ended end)
expect("the record retired", function() return not has_record(s) end)
tavrel.exit(0)
