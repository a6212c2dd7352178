-- Lookups and digests: no connection needed.
--   tavrel examples/lookups.lua [NAME...]

local names = { "localhost", "127.1", "no-such-host.invalid" }
for i = 1, table.getn(arg) do table.insert(names, arg[i]) end

for _, name in ipairs(names) do
  local addr, st = cvn_old.Nslookup(name)
  print(string.format("Nslookup(%q) -> %s, %d", name, tostring(addr), st))
end

-- Adapter address over NetBIOS; most machines without a NetBIOS service do not answer.
local mac, st = cvn_old.Nslookupmac("127.0.0.1")
print(string.format("Nslookupmac(%q) -> %s, %d", "127.0.0.1", tostring(mac), st))

for _, text in ipairs({ "", "abc", "message digest" }) do
  print(string.format("MD5(%q) -> %s", text, cvn_old.MD5(text)))
end
tavrel.exit(0)
