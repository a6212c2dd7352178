-- The demo: drives an infrared gateway (gcsim, or a real one of any family) end
-- to end. Connects, asks for the version and the devices, fires a CCF code, waits
-- for the gateway's completeir, then lets a keep-alive with a limit close the
-- connection, and ends the run. Every wait has a time limit.
--   tavrel examples/ir_demo.lua [HOST] [PORT] [CONNECTOR]

-- gateway.lua from beside this script; for one read from standard input
-- (tavrel - < examples/x.lua), from examples/ under the current directory.
local gateway = dofile((arg[0] == "-" and "examples/" or string.gsub(arg[0], "[^/\\]*$", "")) .. "gateway.lua")

local host = arg[1] or "127.0.0.1"
local port = tonumber(arg[2]) or 4998
local connector = tonumber(arg[3]) or 1

-- A power toggle in CCF (Pronto hex): frequency word 006D (38 kHz), two burst
-- pairs sent once, two repeated.
local POWER = "0000 006D 0002 0002 0158 00AC 0016 0041 0016 0016 0016 0E6C"

local started = tavrel.clock()

-- Prints a line of the transcript: the seconds since the start, then `fmt` filled
-- in with `a` and `b`.
local function say(fmt, a, b)
  print(string.format("%6.3f  " .. fmt, tavrel.clock() - started, a, b))
end

local function demo()
  say("connecting to %s:%d", host, port)
  local gw = assert(gateway.open(host, port))
  say("connected, socket %d; -> getversion", gw.sock)
  gw:send("getversion\r")
  local answer = gw:reply("the answer to getversion", 3)
  say("<- %s  (version %s)", answer, gateway.version(answer))

  say("-> getdevices")
  gw:send("getdevices\r")
  local line  -- outside the loop: Lua 5.0's until does not see the loop body's locals
  repeat
    line = gw:reply("the device list", 3)
    say("<- %s", line)
  until line == "endlistdevices"

  say("-> POWER on connector 1:%d (GlobalCache_SendCCF), repeated 2 times", connector)
  local st = cvn_old.GlobalCache_SendCCF(gw.sock, POWER, 1, connector, 2)
  if st ~= 0 then error("GlobalCache_SendCCF failed with status " .. st, 0) end
  local done = gw:reply("completeir", 5)
  say("<- %s", done)
  if not string.find(done, "^completeir") then error("expected completeir, got " .. done, 0) end
  say("the gateway has sent the code")

  say("keep-alive: getversion every 300 ms, 2 times, then the plug-in closes")
  cvn_old.KeepAlive(gw.sock, 300, "getversion\r", 2)
  for _ = 1, 2 do say("<- %s", gw:reply("a keep-alive answer", 3)) end
  gw:wait_closed("the plug-in to close the connection", 3)
  say("connection closed")
end

local ok, problem = pcall(demo)
if ok then say("demo finished") else say("demo failed: %s", problem) end
tavrel.exit(ok and 0 or 1)
