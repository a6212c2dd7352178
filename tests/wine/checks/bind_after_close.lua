-- A server closes one of its connections first (its side lingers in TIME_WAIT),
-- keeps another open, and closes its listener: listening on the port again works.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
accepted, server_ended, client_ended = {}, 0, 0
function OnListen(text, s) table.insert(accepted, (cvn_old.Accept(s, "OnServer"))) end
function OnServer(line, s, status) if status == 1 then server_ended = server_ended + 1 end end
function OnClient(line, s, status) if status == 1 then client_ended = client_ended + 1 end end

local ls, st = cvn_old.Listen(own_port, "OnListen")
print("listen", st)
cvn_old.Open("127.0.0.1", own_port, "OnClient")
cvn_old.Open("127.0.0.1", own_port, "OnClient")
expect("two connections accepted", function() return table.getn(accepted) == 2 end)
print("server closes the first", cvn_old.Close(accepted[1]))
expect("its end on both sides", function() return server_ended == 1 and client_ended == 1 end)
cvn_old.CloseListen(ls)
local again, st2 = cvn_old.Listen(own_port, "OnListen")
print("listen again with TIME_WAIT and an open connection on the port", st2)
cvn_old.Open("127.0.0.1", own_port, "OnClient")
expect("a connection accepted by the new listener", function() return table.getn(accepted) == 3 end)
print("accepted by the new listener", table.getn(accepted))
tavrel.exit(0)
