-- LuaSocket as a receiver: one connection.
--   lua5.1 luasocket.lua lines PORT COUNT [HOW]   connects to PORT and takes COUNT lines
--   lua5.1 luasocket.lua echo PORT COUNT          listens on PORT and answers COUNT lines
-- HOW "*l": receive('*l') per line, which ends lines at LF only (it drops every
-- CR); "blocks": what a script for a device that ends its lines with CR does,
-- receiving what has arrived and splitting it at CR and LF itself.
local socket = require("socket")
local dir = string.gsub(arg[0], "[^/]*$", "")
dofile(dir .. "callback.lua")
local mode, port = arg[1], tonumber(arg[2])
target = tonumber(arg[3])
local how = arg[4] or "*l"

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
SettleHeap()
local receive = c.receive
if how == "blocks" then
  -- receive(n) waits for n bytes; with a time-out of 0 it returns what has
  -- arrived as its third result, and select waits for more.
  c:settimeout(0)
  local find, sub = string.find, string.sub
  local rest = ""
  local watched = { c }
  while not done do
    local data, err, partial = receive(c, 65536)
    data = data or partial
    if data == "" then
      if err ~= "timeout" then error("receive: " .. err) end
      socket.select(watched, nil, 5)
    else
      -- The next CR and the next LF, each looked for again only once passed
      -- (nil: none in the chunk), as the C floor does.
      local chunk = rest .. data
      local at, cr, lf = 1, 0, 0
      while true do
        if cr and cr < at then cr = find(chunk, "\r", at, true) end
        if lf and lf < at then lf = find(chunk, "\n", at, true) end
        local e = cr and (lf and lf < cr and lf or cr) or lf
        if not e then break end
        if e > at then callback(sub(chunk, at, e - 1), 1, 0, "127.0.0.1") end
        at = e + 1
      end
      rest = sub(chunk, at)
    end
  end
else
  while not done do
    local line, err = receive(c, "*l")
    if not line then error("receive: " .. err) end
    -- receive('*l') drops the CR of CR LF and returns empty lines, which the
    -- plug-in and the C floor skip.
    if line ~= "" then callback(line, 1, 0, "127.0.0.1") end
  end
end
print(count .. " " .. bytes)
