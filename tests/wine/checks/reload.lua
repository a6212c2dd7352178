-- The script is reloaded (SIGHUP for tavrel, tavrel.reload() for tavrel.exe)
-- while two peers flood (peer role flood=r) and a connection it accepted is
-- open on its listening port: the reload returns, and the reloaded script
-- listens on the same port again and is served. arg[3] names a file that tells
-- the first run from the reloaded one.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
local flag = arg[3]
local reloaded = io.open(flag, "r")
flood_lines, accepted = 0, 0
function OnFlood(line, s, status) flood_lines = flood_lines + 1 end
function OnListen(text, s) if cvn_old.Accept(s, "OnServer") ~= 0 then accepted = accepted + 1 end end
function OnServer(line, s, status) end
function OnClient(line, s, status) end
local ls, st = cvn_old.Listen(own_port, "OnListen")
cvn_old.Open("127.0.0.1", own_port, "OnClient")
expect("a connection accepted", function() return accepted == 1 end)
if not reloaded then
  io.open(flag, "w"):close()
  print("first run: listen", st)
  cvn_old.Open("127.0.0.1", peer_port, "OnFlood")
  cvn_old.Open("127.0.0.1", peer_port, "OnFlood")
  expect("the floods", function() return flood_lines > 1000 end)
  print("reload beside two floods and an open connection")
  if tavrel.reload then tavrel.reload() else os.execute("kill -HUP $PPID") end
  tavrel.sleep(60)  -- cut short by the reload
  print("not reloaded")
else
  reloaded:close()
  os.remove(flag)
  print("reloaded: listen on the same port", st, "accepted", accepted)
  tavrel.exit(0)
end
