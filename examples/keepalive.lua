-- Keep-alive with a limit: a status request every 200 ms, five times; the
-- plug-in then closes the connection. Any line the device answers counts.
--   tavrel examples/keepalive.lua [HOST] [PORT]

-- gateway.lua from beside this script; for one read from standard input
-- (tavrel - < examples/x.lua), from examples/ under the current directory.
local gateway = dofile((arg[0] == "-" and "examples/" or string.gsub(arg[0], "[^/\\]*$", "")) .. "gateway.lua")

local host = arg[1] or "127.0.0.1"
local port = tonumber(arg[2]) or 4998

local ok, problem = pcall(function()
  local device = assert(gateway.open(host, port))
  cvn_old.KeepAlive(device.sock, 200, "getversion\r", 5)
  for n = 1, 5 do
    print(string.format("%.1f s  answer %d: %s", tavrel.clock(), n, device:next_line("answer " .. n, 2)))
  end
  device:wait_closed("the plug-in to close the connection after five sends", 2)
  print("closed after 5 answers")
end)
if not ok then print(problem) end
tavrel.exit(ok and 0 or 1)
