-- The peer resets the connection (peer role: send=hello\r\n,await,reset): the end
-- is reported once, and a Send from that callback fails.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
run_device(function(s, line) cvn_old.Send(s, "ack\r\n") end,
           function(s) print("send after the reset", cvn_old.Send(s, "late\r\n")) end)
tavrel.exit(0)
