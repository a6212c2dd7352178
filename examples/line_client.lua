-- A client for any device that answers lines, reconnecting whenever the
-- connection closes. It asks for the version on every connection; to show a
-- reconnect it lets a keep-alive with limit 0 close each connection.
--   tavrel examples/line_client.lua [HOST] [PORT] [CONNECTIONS]

local host = arg[1] or "127.0.0.1"
local port = tonumber(arg[2]) or 4998
local wanted = tonumber(arg[3]) or 3
local connections = 0

local function connect()
  local sock, status = cvn_old.Open(host, port, "OnDevice")
  if not sock then
    print("cannot connect (status " .. status .. ")")
    tavrel.exit(1)
    return
  end
  connections = connections + 1
  print("connection " .. connections .. " open")
  cvn_old.Send(sock, "getversion\r")
end

function OnDevice(line, sock, status, hosttext)
  if status == 0 then
    print(hosttext .. " says: " .. line)
    -- limit 0: the next tick closes our side; the device then closes too
    cvn_old.KeepAlive(sock, 50, "", 0)
  elseif status == 1 then
    print("connection " .. connections .. " closed")
    if connections < wanted then connect() else tavrel.exit(0) end
  end
end

connect()
