-- Behaviour across the plug-in boundary, printed so that two hosts can be
-- compared line by line: tavrel and tavrel50 (a Lua with Lua 5.0's interface) on
-- Linux, tavrel.exe on Lua 5.1 and on Lua 5.0's interface under Wine. Written in
-- the Lua that 5.0 and 5.1 both read: no ... in the main chunk, no #, no string
-- methods, no select. Uses only loopback, on the port given and the one 9 above,
-- and looks up no name (checks/unknown_host.lua does, where no resolver answers).
local base = tonumber(arg[1]) or 47600

print("MD5", cvn_old.MD5(""), cvn_old.MD5("abc"))
print("Nslookup", cvn_old.Nslookup("127.1"))
print("refused", cvn_old.Open("127.0.0.1", base + 9, "x"))
print("ccf rejected", cvn_old.GlobalCache_SendCCF(12345, "0000 006D", 1, 1, 1))
local raised = not pcall(cvn_old.CloseListen, "not a socket")
print("CloseListen raises for a text", raised)

function OnListen(text, s, status, host)
  print("listener event", text, status, "[" .. host .. "]")
  local peer, addr, port, st = cvn_old.Accept(s, "OnPeer")
  print("accept", addr, st)
end
-- A callback's error is printed and the next line still arrives; an error value
-- that is not a text prints as (null).
function OnPeer(line, s, status, host)
  print("peer", line, status, host)
  if line == "boom" then error("boom", 0) end
  if line == "bye" then cvn_old.Send(s, "ok one\r\nok two\n") end
  if status == 1 then error({}) end
end
function OnClient(line, s, status, host)
  print("client", line, status, host)
  if line == "ok two" then
    cvn_old.KeepAlive(s, 100, "tick\r", 2)
  end
  if status == 1 then tavrel.exit(0) end
end
tavrel.atclose(function() print("after event 8, cvn_old is", type(cvn_old)) end)

local ls, lst = cvn_old.Listen(base, "OnListen")
print("listen", lst)
local busy, bst = cvn_old.Listen(base, "OnListen")
print("listen again", bst)
cvn_old.CloseListen(busy)
local none, none_addr, none_port, none_st = cvn_old.Accept(ls, "x")
print("accept nothing", none, none_addr, none_port, none_st)
local c, cst = cvn_old.Open("127.0.0.1", base, "OnClient")
print("open", cst)
print("send", cvn_old.Send(c, "hello\r\nboom\r\nbye\r\n"))
print("sendccf", cvn_old.GlobalCache_SendCCF(c, "0000 006D 0002 0000 0158 00AC 0016 0041", 1, 2, 3))
