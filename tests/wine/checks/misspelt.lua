-- A connection whose callback name names no function (peer role:
-- send=one\r\ntwo\r\n,halfclose,log): nothing is called, and the connection is
-- still retired at its end, which the peer sees.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
called = 0
function OnDevice(line) called = called + 1 end
local s, st = cvn_old.Open("127.0.0.1", peer_port, "OnDevcie")
print("open", st)
expect("the record retired", function() return not has_record(s) end)
print("callbacks called", called)
tavrel.exit(0)
