-- The soak's hostile phase: beside a peer that never stops sending, rounds of a
-- connection whose peer resets it and of a device whose callback closes it and
-- opens the next one (with a keep-alive) from inside the callback. Every end is
-- reported exactly once. Each connection names its peer's role in its first
-- line (peer role: ask).
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
local kRounds = 60
ended, flood, device, opened, finishing = 0, 0, nil, 0, false
function connect(callback, role)
  local s = cvn_old.Open("127.0.0.1", peer_port, callback)
  if s then cvn_old.Send(s, role .. "\r\n") end
  return s
end
function OnFlood(line, s, status) if status == 0 then flood = flood + 1 else ended = ended + 1 end end
function OnReset(line, s, status) if status == 1 then ended = ended + 1 end end
function OnDevice(line, s, status)
  if status == 1 then ended = ended + 1 return end
  if line == "bye" and not finishing then
    cvn_old.Close(s)
    device = connect("OnDevice", "await=go,send=bye\\r\\n,close")
    if device then cvn_old.KeepAlive(device, 20, "ping\r\n", -1) opened = opened + 1 end
  end
end
local f = connect("OnFlood", "flood=f")
device = connect("OnDevice", "await=go,send=bye\\r\\n,close")
expect("the flood", function() return flood > 0 end)
for i = 1, kRounds do
  local half = "half a li"
  if i - math.floor(i / 2) * 2 == 0 then half = "a line\\r\\nand half" end
  connect("OnReset", "send=" .. half .. ",reset")
  local before = opened
  cvn_old.Send(device, "go\r\n")
  if not wait_for(function() return opened > before end, 20) then print("round " .. i .. ": no new device") break end
end
finishing = true
cvn_old.Close(f)
cvn_old.Close(device)
local expected = 2 * kRounds + 2
expect(expected .. " ends", function() return ended >= expected end, 60)
tavrel.sleep(0.2)
print("rounds", kRounds, "ends reported", ended, "expected", expected)
print("records left of the last two", has_record(f), has_record(device))
tavrel.exit(0)
