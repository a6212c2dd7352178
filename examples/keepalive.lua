-- Keep-alive with a limit: a status request every 200 ms, five times; the
-- plug-in then closes the connection, and the device's close ends the run.
--   tavrel examples/keepalive.lua [HOST] [PORT]

local host = arg[1] or "127.0.0.1"
local port = tonumber(arg[2]) or 4998
local answers = 0

function OnDevice(line, sock, status)
  if status == 0 then
    answers = answers + 1
    print(string.format("%.1f s  answer %d: %s", tavrel.clock(), answers, line))
  elseif status == 1 then
    print("closed after " .. answers .. " answers")
    tavrel.exit(answers == 5 and 0 or 1)
  end
end

local sock, status = cvn_old.Open(host, port, "OnDevice")
if not sock then print("cannot connect (status " .. status .. ")") tavrel.exit(1) return end
cvn_old.KeepAlive(sock, 200, "getversion\r", 5)
