-- The callback every receiver calls, once per line: the same work whatever
-- delivers the line. Lines counts the lines and adds up their lengths; Echo
-- answers each line on the connection it came from. Each receiver sets `target`,
-- defines Finished (called once, at the target) and, for Echo, Reply(s, text),
-- and calls SettleHeap before its first line.
count, bytes, target = 0, 0, 0

-- The state a script keeps between lines, the same in every receiver: device
-- states, added until the live heap reaches HeapKB. The collector paces itself by
-- the live heap and Lua sizes its string table by the strings alive, so states of
-- different sizes would make the receivers differ in what the collector does, not
-- in how lines reach the callback.
HeapKB = 256
function SettleHeap()
  collectgarbage("collect")
  devices = {}
  local i = 0
  while collectgarbage("count") < HeapKB do
    i = i + 1
    devices[i] = "device " .. i .. " idle"
  end
  collectgarbage("collect")
end

function Lines(line, s, status, host)
  count = count + 1
  bytes = bytes + string.len(line)
  if count == target then Finished() end
end

function Echo(line, s, status, host)
  count = count + 1
  bytes = bytes + string.len(line)
  Reply(s, line .. "\r\n")
  if count == target then Finished() end
end
