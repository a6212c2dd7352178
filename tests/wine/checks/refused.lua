-- A connect that nothing answers: two printed lines, nil and -2.
dofile((string.gsub(arg[0], "[^/\\]*$", "")) .. "../common.lua")
print("refused", cvn_old.Open("127.0.0.1", own_port, "OnDevice"))
tavrel.exit(0)
