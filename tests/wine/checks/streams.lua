-- Twenty peers send numbered lines without pause (peer role flood=s): every
-- stream is served while the others flood, and each one's lines arrive in order
-- with none lost or doubled. (Close beside a flood: flood_close.lua.)
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
local kStreams, kLines = 20, 40000
count, last, faults, total = {}, {}, 0, 0
function OnStream(line, s, status)
  if status ~= 0 then return end
  local _, _, n = string.find(line, "^s (%d+)$")
  n = tonumber(n)
  if n ~= (last[s] or 0) + 1 then faults = faults + 1 end
  last[s] = n
  count[s] = (count[s] or 0) + 1
  total = total + 1
end
local socks = {}
for i = 1, kStreams do table.insert(socks, (cvn_old.Open("127.0.0.1", peer_port, "OnStream"))) end
expect(kLines .. " lines", function() return total >= kLines end, 120)
local least, most = nil, 0
for i = 1, kStreams do
  local c = count[socks[i]] or 0
  if least == nil or c < least then least = c end
  if c > most then most = c end
end
local mean = total / kStreams
print("every stream served: the least one got a fifth of the mean or more", least * 5 >= mean)
note(string.format("%d streams, %d lines: least %d, most %d, mean %.0f (%.0f%% .. %.0f%% of the mean)",
  kStreams, total, least, most, mean, 100 * least / mean, 100 * most / mean))
print("lines out of order, lost or doubled", faults)
tavrel.exit(0)
