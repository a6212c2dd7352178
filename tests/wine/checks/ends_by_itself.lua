-- No tavrel.exit: the run ends by itself, with status 0, once the main chunk
-- has returned and nothing can call the script back (peer role:
-- send=one\r\ntwo\r\n,close). Every line and the close come first; a listener
-- that could not bind, and one closed again, keep nothing running.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
local lines = 0
function OnDevice(line, s, status)
  if status == 0 then lines = lines + 1 end
  if status == 1 then print("lines", lines, line) end
end
local first = cvn_old.Listen(own_port, "OnListen")
local second, status = cvn_old.Listen(own_port, "OnListen")
print("second listen", status)
cvn_old.CloseListen(first)
cvn_old.Open("127.0.0.1", peer_port, "OnDevice")
print("main chunk returns")
