-- Close twice on a connection whose peer stays open (peer role: log), then once
-- more after its end: 0 each time, one end reported.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
ended = 0
function OnDevice(line, s, status) if status == 1 then ended = ended + 1 end end
local s = cvn_old.Open("127.0.0.1", peer_port, "OnDevice")
print("send", cvn_old.Send(s, "hello\r\n"))
print("close", cvn_old.Close(s))
print("close again", cvn_old.Close(s))
expect("the end of the connection", function() return ended > 0 and not has_record(s) end)
print("close after the end", cvn_old.Close(s))
tavrel.sleep(0.1)
print("ends reported", ended)
tavrel.exit(0)
