-- Two lines and a reset arrive while the script is busy (peer role:
-- await,send=one\r\ntwo\r\n,reset, so that they come after Open has asked for
-- notifications): what was received before the reset, and the end.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
run_device(nil, nil, function(s)
  cvn_old.Send(s, "go\r\n")
  busy(1)
end)
tavrel.exit(0)
