-- Behaviour across the plug-in boundary, printed so that two hosts can be
-- compared line by line: run by tavrel on Linux and by tavrel.exe under Wine.
-- Uses only loopback, on the ports given as arguments.
local base = tonumber(arg[1]) or 47600
local step = 0
local function say(...) print(...) end

say("MD5", cvn_old.MD5(""), cvn_old.MD5("abc"))
say("Nslookup", cvn_old.Nslookup("127.1"))
say("Nslookup missing", cvn_old.Nslookup("no-such-host.invalid"))
say("refused", cvn_old.Open("127.0.0.1", base + 9, "x"))
say("lookup", cvn_old.Open("no-such-host.invalid", base, "x"))
say("ccf rejected", cvn_old.GlobalCache_SendCCF(12345, "0000 006D", 1, 1, 1))

local lines, server_peer = {}, nil
function OnListen(text, s, status, host)
  say("listener event", text, status, "[" .. host .. "]")
  local peer, addr, port, st = cvn_old.Accept(s, "OnPeer")
  say("accept", addr, st)
  server_peer = peer
end
function OnPeer(line, s, status, host)
  say("peer", line, status, host)
  if line == "bye" then cvn_old.Send(s, "ok one\r\nok two\n") end
end
function OnClient(line, s, status, host)
  say("client", line, status, host)
  if line == "ok two" then
    cvn_old.KeepAlive(s, 100, "tick\r", 2)
  end
  if status == 1 then tavrel.exit(0) end
end

local ls, lst = cvn_old.Listen(base, "OnListen")
say("listen", lst)
local busy, bst = cvn_old.Listen(base, "OnListen")
say("listen again", bst)
cvn_old.CloseListen(busy)
say("accept nothing", select(2, cvn_old.Accept(ls, "x")), select(4, cvn_old.Accept(ls, "x")))
local c, cst = cvn_old.Open("127.0.0.1", base, "OnClient")
say("open", cst)
say("send", cvn_old.Send(c, "hello\r\nbye\r\n"))
say("sendccf", cvn_old.GlobalCache_SendCCF(c, "0000 006D 0002 0000 0158 00AC 0016 0041", 1, 2, 3))
