-- The peer sends a line and shuts its sending side, reading on (peer role:
-- send=line\r\n,halfclose,log): the line, the end, and a reply from the end's
-- callback that still reaches the peer before the plug-in closes.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
run_device(nil, function(s) print("reply", cvn_old.Send(s, "reply\r\n")) end)
tavrel.exit(0)
