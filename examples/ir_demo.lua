-- The demo: drives an infrared gateway (gcsim, or a real one) end to end.
-- Connects, asks for the version and the devices, fires a CCF code, waits for
-- the gateway's completeir, then lets a keep-alive with a limit close the
-- connection, and ends the run.
--   tavrel examples/ir_demo.lua [HOST] [PORT]

local host = arg[1] or "127.0.0.1"
local port = tonumber(arg[2]) or 4998

-- A power toggle in CCF (Pronto hex): frequency word 006D (38 kHz), two burst
-- pairs sent once, two repeated.
local POWER = "0000 006D 0002 0002 0158 00AC 0016 0041 0016 0016 0016 0E6C"

local gateway
local started = tavrel.clock()

local function say(fmt, ...)
  print(string.format("%6.3f  " .. fmt, tavrel.clock() - started, ...))
end

local phase = "version"  -- version, devices, firing, keepalive

function OnGateway(line, sock, status, hosttext)
  if status == 1 then
    say("connection closed: %s", line)
    say("demo finished")
    tavrel.exit(phase == "keepalive" and 0 or 1)
    return
  end
  say("<- %s", line)
  if line:match("^ERR") or line:match("^busyIR") then
    say("the gateway refused the command")
    tavrel.exit(1)
  elseif phase == "version" and line:match("^version,") then
    phase = "devices"
    say("-> getdevices")
    cvn_old.Send(sock, "getdevices\r")
  elseif phase == "devices" and line == "endlistdevices" then
    phase = "firing"
    say("-> POWER on connector 1:1 (GlobalCache_SendCCF), repeated 2 times")
    local st = cvn_old.GlobalCache_SendCCF(sock, POWER, 1, 1, 2)
    if st ~= 0 then say("send failed: %d", st) tavrel.exit(1) end
  elseif phase == "firing" and line:match("^completeir,") then
    phase = "keepalive"
    say("the gateway has sent the code")
    say("keep-alive: getversion every 300 ms, 2 times, then the plug-in closes")
    cvn_old.KeepAlive(sock, 300, "getversion\r", 2)
  end
end

say("connecting to %s:%d", host, port)
local status
gateway, status = cvn_old.Open(host, port, "OnGateway")
if not gateway then
  say("no gateway at %s:%d (status %d)", host, port, status)
  tavrel.exit(2)
  return
end
say("connected, socket %d; -> getversion", gateway)
cvn_old.Send(gateway, "getversion\r")
