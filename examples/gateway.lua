-- A connection whose lines queue up while the script's main chunk waits for them,
-- each wait with a time limit, and the reply shapes of every gateway family.
-- The other examples load it from beside themselves (arg[0] is the script's path):
--   local gateway = dofile(string.gsub(arg[0], "[^/\\]*$", "") .. "gateway.lua")
-- (a script read from standard input, whose arg[0] is "-", looks in examples/).
--
-- Like every example, written in the Lua that 5.0 and 5.1 share: the host runs
-- its scripts on Lua 5.0, whose texts have no methods and which has no # operator.
-- Waiting in the main chunk is tavrel's: tavrel.sleep lets callbacks run while the
-- chunk waits, and tavrel.clock tells the time; arg and tavrel.exit are tavrel's
-- too. A script in the host does not wait: its main chunk opens the connection and
-- returns, and its callback answers each line as it comes (as line_server.lua does).

local gateway = {}

-- Error replies, whatever the family: ERR_1:2,003 / ERR 003, ERR IR003 /
-- unknowncommand,3; busyIR: the connector is sending another connection's code.
function gateway.is_error(line)
  return string.find(line, "^ERR") ~= nil or string.find(line, "^unknowncommand") ~= nil
      or string.find(line, "^busyIR") ~= nil
end

-- The version in the answer to getversion: "version,0,<v>" or the bare "<v>".
function gateway.version(line)
  local _, _, v = string.find(line, "^version,%d+,(.*)$")
  return v or line
end

local connections = {}  -- by socket

-- The callback of every connection opened here: queues lines, notes the close.
function GatewayLine(line, sock, status)
  local c = connections[sock]
  if not c then return end
  if status == 1 then c.closed = true else table.insert(c.inbox, line) end
end

local Connection = {}
Connection.__index = Connection

-- Opens a connection; nil and a message when there is none.
function gateway.open(host, port)
  local sock, status = cvn_old.Open(host, port, "GatewayLine")
  if not sock then return nil, string.format("cannot connect to %s:%d (status %d)", host, port, status) end
  local c = setmetatable({ sock = sock, inbox = {}, closed = false }, Connection)
  connections[sock] = c
  return c
end

function Connection:send(text)
  return cvn_old.Send(self.sock, text)
end

-- The next line, waiting at most `seconds`; raises an error that names `what`
-- when none comes in time or the connection closes first. tavrel.sleep lets the
-- callbacks run while the main chunk waits.
function Connection:next_line(what, seconds)
  local deadline = tavrel.clock() + seconds
  while table.getn(self.inbox) == 0 do
    if self.closed then error("the connection closed while waiting for " .. what, 0) end
    if tavrel.clock() >= deadline then error(string.format("gave up waiting for %s after %g s", what, seconds), 0) end
    tavrel.sleep(0.01)
  end
  return table.remove(self.inbox, 1)
end

-- The next line from a gateway; an error reply raises.
function Connection:reply(what, seconds)
  local line = self:next_line(what, seconds)
  if gateway.is_error(line) then error(string.format("the gateway refused (%s) while waiting for %s", line, what), 0) end
  return line
end

-- Waits at most `seconds` for the connection to close; lines still arriving are
-- passed over.
function Connection:wait_closed(what, seconds)
  local deadline = tavrel.clock() + seconds
  while not self.closed do
    if tavrel.clock() >= deadline then error(string.format("gave up waiting for %s after %g s", what, seconds), 0) end
    tavrel.sleep(0.01)
  end
  connections[self.sock] = nil
end

return gateway
