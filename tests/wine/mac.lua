-- Nslookupmac of a name no machine answers to: run where only loopback exists,
-- so the query fails cleanly (nil, -1) instead of reaching a network.
print("Nslookupmac", cvn_old.Nslookupmac("NOSUCHHOST"))
tavrel.exit(0)
