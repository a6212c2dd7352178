-- What the scripts of tests/wine/checks/ share, loaded with dofile. They run
-- under tavrel on Linux and tavrel.exe under Wine, and print what can be
-- compared line by line; the wine_peer at arg[1] is the far end of their
-- connections and arg[2] a port of their own. Written in the Lua that 5.0 and
-- 5.1 both read.
peer_port = tonumber(arg[1])
own_port = tonumber(arg[2])

-- Waits in the main chunk, letting callbacks run, until cond() holds; false after
-- `seconds` (a guard against a hang, never a measurement).
function wait_for(cond, seconds)
  local give_up = tavrel.clock() + seconds
  while not cond() do
    if tavrel.clock() > give_up then return false end
    tavrel.sleep(0.01)
  end
  return true
end

function expect(what, cond, seconds)
  if not wait_for(cond, seconds or 20) then print("not seen: " .. what) end
end

-- Keeps the script lock for a while: nothing is delivered meanwhile, so what
-- peers send and do piles up as it would behind a busy script.
function busy(seconds)
  local until_ = tavrel.clock() + seconds
  while tavrel.clock() < until_ do end
end

-- Whether the plug-in still has a record for the socket.
function has_record(s)
  return cvn_old.KeepAlive(s, 0, "", -1) == 0
end

-- Measurements for the log, never compared: on standard error.
function note(text)
  io.stderr:write("info: " .. text .. "\n")
end

-- One connection to the peer whose callback prints each event as "device",
-- text, status: after_open(s) runs once it is open, on_line(s, line) for each
-- line and on_end(s) at its end. Returns when the end has come and the record
-- is gone.
function run_device(on_line, on_end, after_open)
  local ended = false
  function OnDevice(line, s, status)
    print("device", line, status)
    if status == 0 and on_line then on_line(s, line) end
    if status == 1 then
      if on_end then on_end(s) end
      ended = true
    end
  end
  local s = cvn_old.Open("127.0.0.1", peer_port, "OnDevice")
  if after_open then after_open(s) end
  expect("the end of the connection", function() return ended end)
  expect("the record retired", function() return not has_record(s) end)
end
