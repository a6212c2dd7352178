-- An infrared remote: named CCF codes, one function per button, pressed in turn.
-- Each press waits (at most 5 s) for the gateway's completeir before the next
-- one goes out.
--   tavrel examples/ir_remote.lua [HOST] [PORT] [CONNECTOR]

-- gateway.lua from beside this script; for one read from standard input
-- (tavrel - < examples/x.lua), from examples/ under the current directory.
local gateway = dofile((arg[0] == "-" and "examples/" or string.gsub(arg[0], "[^/\\]*$", "")) .. "gateway.lua")

local host = arg[1] or "127.0.0.1"
local port = tonumber(arg[2]) or 4998

local CODES = {
  power   = "0000 006D 0002 0002 0158 00AC 0016 0041 0016 0016 0016 0E6C",
  vol_up  = "0000 006D 0002 0002 0158 00AC 0016 0016 0016 0041 0016 0E6C",
  vol_down= "0000 006D 0002 0002 0158 00AC 0016 0041 0016 0041 0016 0E6C",
  mute    = "0000 0071 0002 0002 0158 00AC 0016 0016 0016 0016 0016 0E6C",
}

local Remote = { connector = tonumber(arg[3]) or 1 }

function Remote.press(name, repeats)
  print(string.format("press %-8s on 1:%d", name, Remote.connector))
  local st = cvn_old.GlobalCache_SendCCF(Remote.gw.sock, CODES[name], 1, Remote.connector, repeats or 1)
  if st ~= 0 then error("could not send " .. name .. " (status " .. st .. ")", 0) end
  local line = Remote.gw:reply("completeir for " .. name, 5)
  if not string.find(line, "^completeir") then error("expected completeir for " .. name .. ", got " .. line, 0) end
  print("  done: " .. line)
end

function Remote.power() Remote.press("power") end
function Remote.volume_up() Remote.press("vol_up", 3) end
function Remote.volume_down() Remote.press("vol_down", 3) end
function Remote.mute() Remote.press("mute") end

local ok, problem = pcall(function()
  Remote.gw = assert(gateway.open(host, port))
  Remote.power()
  Remote.volume_up()
  Remote.volume_down()
  Remote.mute()
end)
if not ok then print("  refused or failed: " .. problem) end
tavrel.exit(ok and 0 or 1)
