-- The plug-in under tavrel as a receiver.
--   tavrel tavrel.lua lines PORT COUNT [MAIN]   connects to PORT and takes COUNT lines
--   tavrel tavrel.lua echo PORT COUNT [MAIN]    listens on PORT and answers COUNT lines
-- MAIN "polls": the main chunk goes on polling in tavrel.sleep every 5 ms, so a
-- script thread takes the script lock beside the callbacks; otherwise it returns.
local dir = string.gsub(arg[0], "[^/]*$", "")
dofile(dir .. "callback.lua")
local mode, port = arg[1], tonumber(arg[2])
target = tonumber(arg[3])
SettleHeap()

function Finished()
  print(count .. " " .. bytes)
  tavrel.exit(0)
end

if mode == "lines" then
  local s, status = cvn_old.Open("127.0.0.1", port, "Lines")
  if status ~= 0 then error("Open failed: " .. tostring(status)) end
else
  Reply = cvn_old.Send
  function OnListen(text, s, status)
    if status == 2 then cvn_old.Accept(s, "Echo") end
  end
  local s, status = cvn_old.Listen(port, "OnListen")
  if status ~= 0 then error("Listen failed: " .. tostring(status)) end
end

if arg[4] == "polls" then
  while true do tavrel.sleep(0.005) end
end
