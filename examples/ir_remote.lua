-- An infrared remote: named CCF codes, one function per button, pressed in turn.
-- Each press waits for the gateway's completeir before the next one goes out.
--   tavrel examples/ir_remote.lua [HOST] [PORT]

local host = arg[1] or "127.0.0.1"
local port = tonumber(arg[2]) or 4998

local CODES = {
  power   = "0000 006D 0002 0002 0158 00AC 0016 0041 0016 0016 0016 0E6C",
  vol_up  = "0000 006D 0002 0002 0158 00AC 0016 0016 0016 0041 0016 0E6C",
  vol_down= "0000 006D 0002 0002 0158 00AC 0016 0041 0016 0041 0016 0E6C",
  mute    = "0000 0071 0002 0002 0158 00AC 0016 0016 0016 0016 0016 0E6C",
}

local Remote = { connector = 1 }

local function press(name, repeats)
  print(string.format("press %-8s on 1:%d", name, Remote.connector))
  local st = cvn_old.GlobalCache_SendCCF(Remote.sock, CODES[name], 1, Remote.connector, repeats or 1)
  if st ~= 0 then print("could not send " .. name .. " (" .. st .. ")") tavrel.exit(1) end
end

function Remote.power() press("power") end
function Remote.volume_up() press("vol_up", 3) end
function Remote.volume_down() press("vol_down", 3) end
function Remote.mute() press("mute") end

local sequence = { Remote.power, Remote.volume_up, Remote.volume_down, Remote.mute }
local next_button = 1

function OnGateway(line, sock, status)
  if status == 1 then print("gateway closed the connection") tavrel.exit(1) return end
  if line:match("^completeir") then
    print("  done: " .. line)
    next_button = next_button + 1
    if sequence[next_button] then sequence[next_button]() else tavrel.exit(0) end
  elseif line:match("^ERR") or line:match("^busyIR") then
    print("  refused: " .. line)
    tavrel.exit(1)
  end
end

local status
Remote.sock, status = cvn_old.Open(host, port, "OnGateway")
if not Remote.sock then print("no gateway (status " .. status .. ")") tavrel.exit(1) return end
sequence[1]()
