-- A small line server: listens, accepts every client, answers each line with
-- "echo: <line>" and tells the other clients what was said. A client sending
-- "quit" is closed; "shutdown" ends the run.
-- Shaped as a script in the host is: the main chunk listens and returns, and the
-- callbacks do the rest. Only arg and tavrel.exit are tavrel's.
--   tavrel examples/line_server.lua [PORT]

local port = tonumber(arg[1]) or 4999
if port < 1 or port > 65535 or port ~= math.floor(port) then
  print("the port is a whole number from 1 to 65535, not " .. arg[1])  -- Listen would take its low 16 bits
  tavrel.exit(1)
  return
end
local clients = {}

function OnListen(text, listener, status)
  if status ~= 2 then return end
  local sock, addr, peer_port = cvn_old.Accept(listener, "OnClient")
  if sock ~= 0 then
    clients[sock] = addr .. ":" .. peer_port
    print("client " .. clients[sock] .. " connected")
    cvn_old.Send(sock, "welcome\r\n")
  end
end

function OnClient(line, sock, status, host)
  if status == 1 then
    print("client " .. tostring(clients[sock]) .. " left")
    clients[sock] = nil
    return
  end
  cvn_old.Send(sock, "echo: " .. line .. "\r\n")
  for other in pairs(clients) do
    if other ~= sock then cvn_old.Send(other, clients[sock] .. " said " .. line .. "\r\n") end
  end
  if line == "quit" then cvn_old.Close(sock) end
  if line == "shutdown" then tavrel.exit(0) end
end

local listener, status = cvn_old.Listen(port, "OnListen")
if status ~= 0 then print("cannot listen on " .. port .. " (status " .. status .. ")") tavrel.exit(1) return end
print("listening on port " .. port)
