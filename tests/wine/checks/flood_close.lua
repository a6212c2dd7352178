-- Beside a peer that sends without pause (peer role flood=f), another
-- connection's pings are answered one after another (peer role echo), and Close
-- on the flooding connection returns while its peer still sends.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
local kPings = 50
flood_lines, flood_ended, pongs, sent_at, rtt = 0, false, 0, 0, {}
function OnFlood(line, s, status)
  if status == 0 then flood_lines = flood_lines + 1 else flood_ended = true end
end
function ping(s)
  sent_at = tavrel.clock()
  cvn_old.Send(s, "ping " .. pongs .. "\r\n")
end
function OnEcho(line, s, status)
  if status ~= 0 then return end
  table.insert(rtt, tavrel.clock() - sent_at)
  pongs = pongs + 1
  if pongs < kPings then ping(s) end
end
local f = cvn_old.Open("127.0.0.1", peer_port, "OnFlood")
local e = cvn_old.Open("127.0.0.1", peer_port, "OnEcho")
expect("the flood", function() return flood_lines > 1000 end)
ping(e)
print("every ping answered beside the flood", wait_for(function() return pongs == kPings end, 30))
local before = flood_lines
print("close beside the flood", cvn_old.Close(f))
expect("the flood's end", function() return flood_ended end)
print("the flood's end reported", flood_ended)
table.sort(rtt)
local n = table.getn(rtt)
if n > 0 then
  note(string.format("ping round trip beside a flood: median %.1f ms, p99 %.1f ms, max %.1f ms (%d pings, %d flood lines)",
    1000 * rtt[math.floor((n + 1) / 2)], 1000 * rtt[math.ceil(n * 0.99)], 1000 * rtt[n], n, before))
end
tavrel.exit(0)
