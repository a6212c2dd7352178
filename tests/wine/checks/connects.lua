-- 500 clients connect together (wine_peer --connect), each sends a line and
-- leaves: every one is accepted, its line and its end reach the script.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
seen, lines, ended = {}, 0, 0
function OnListen(text, s) cvn_old.Accept(s, "OnPeer") end
function OnPeer(line, s, status)
  if status == 1 then ended = ended + 1
  elseif not seen[line] then seen[line] = true lines = lines + 1 end
end
local ls, st = cvn_old.Listen(own_port, "OnListen")
print("listening", st)
expect("500 lines and ends", function() return lines == 500 and ended == 500 end, 120)
print("lines", lines, "ends", ended)
cvn_old.CloseListen(ls)
tavrel.exit(0)
