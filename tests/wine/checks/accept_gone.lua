-- The client of a waiting connection has closed before the script accepts it:
-- Accept still succeeds, and the connection's end follows.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
ended = false
function OnListen(text, s, status)
  print("listener", text, status)
  local c, addr, port, st = cvn_old.Accept(s, "OnServer")
  print("accept", type(c), addr, type(port), st)
end
function OnServer(line, s, status)
  print("server", line, status)
  if status == 1 then ended = true end
end
local ls = cvn_old.Listen(own_port, "OnListen")
local c = cvn_old.Open("127.0.0.1", own_port, "OnClient")
cvn_old.CloseListen(c)  -- closed at once, before the listener hears of it
expect("the accepted connection's end", function() return ended end)
cvn_old.CloseListen(ls)
tavrel.exit(0)
