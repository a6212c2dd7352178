-- Lookups and digests: no connection needed.
--   tavrel examples/lookups.lua [NAME...]
-- looks up the NAMEs, or else three: this machine by name, a dotted address
-- (never looked up) and a name no one has (.invalid: never registered).

local names = { "localhost", "127.1", "no-such-host.invalid" }
if table.getn(arg) > 0 then names = arg end

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
