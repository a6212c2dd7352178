-- A client for any device that answers lines, connecting again each time the
-- connection closes. It asks for the version on every connection; to show a
-- reconnect it lets a keep-alive with limit 0 close each connection.
--   tavrel examples/line_client.lua [HOST] [PORT] [CONNECTIONS]

-- gateway.lua from beside this script; for one read from standard input
-- (tavrel - < examples/x.lua), from examples/ under the current directory.
local gateway = dofile((arg[0] == "-" and "examples/" or string.gsub(arg[0], "[^/\\]*$", "")) .. "gateway.lua")

local host = arg[1] or "127.0.0.1"
local port = tonumber(arg[2]) or 4998
local wanted = tonumber(arg[3]) or 3

local ok, problem = pcall(function()
  for n = 1, wanted do
    local device = assert(gateway.open(host, port))
    print("connection " .. n .. " open")
    device:send("getversion\r")
    print(host .. " says: " .. device:next_line("an answer", 3))
    -- limit 0: the next tick closes our side; the device then closes too
    cvn_old.KeepAlive(device.sock, 50, "", 0)
    device:wait_closed("the connection to close", 3)
    print("connection " .. n .. " closed")
  end
end)
if not ok then print(problem) end
tavrel.exit(ok and 0 or 1)
