-- A host name no one knows (the checks run where only loopback and a hosts file
-- answer): "Host not found" (11001), nil and -1.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
print("Open", cvn_old.Open("no-such-host.invalid", own_port, "OnDevice"))
print("Nslookup", cvn_old.Nslookup("no-such-host.invalid"))
print("Nslookup localhost", cvn_old.Nslookup("localhost"))
tavrel.exit(0)
