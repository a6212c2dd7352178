-- The callback every receiver calls, once per line: the same work whatever
-- delivers the line. Lines counts the lines and adds up their lengths; Echo
-- answers each line on the connection it came from. Each receiver sets `target`
-- and defines Finished (called once, at the target) and, for Echo, Reply(s, text).
count, bytes, target = 0, 0, 0

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
