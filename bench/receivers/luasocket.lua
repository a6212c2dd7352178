-- LuaSocket as a receiver: one connection, receive('*l') per line.
--   lua5.1 luasocket.lua lines PORT COUNT   connects to PORT and takes COUNT lines
--   lua5.1 luasocket.lua echo PORT COUNT    listens on PORT and answers COUNT lines
local socket = require("socket")
local dir = string.gsub(arg[0], "[^/]*$", "")
dofile(dir .. "callback.lua")
local mode, port = arg[1], tonumber(arg[2])
target = tonumber(arg[3])

local done = false
function Finished() done = true end

local c, callback
if mode == "lines" then
  c = assert(socket.connect("127.0.0.1", port))
  callback = Lines
else
  local server = assert(socket.bind("127.0.0.1", port))
  c = assert(server:accept())
  server:close()
  function Reply(s, text) return c:send(text) end
  callback = Echo
end
local receive = c.receive
while not done do
  local line, err = receive(c, "*l")
  if not line then error("receive: " .. err) end
  -- receive('*l') drops the CR of CR LF and returns empty lines, which the
  -- plug-in and the C floor skip.
  if line ~= "" then callback(line, 1, 0, "127.0.0.1") end
end
print(count .. " " .. bytes)
