-- Listening on a port in use, by another program and by the script itself:
-- the socket and -3.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
local s, st = cvn_old.Listen(peer_port, "OnListen")
print("another program's port", type(s), st)
cvn_old.CloseListen(s)
local a, sta = cvn_old.Listen(own_port, "OnListen")
local b, stb = cvn_old.Listen(own_port, "OnListen")
print("own port twice", sta, type(b), stb)
cvn_old.CloseListen(b)
cvn_old.CloseListen(a)
tavrel.exit(0)
