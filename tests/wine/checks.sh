#!/usr/bin/env bash
# The Wine checks, run by tests/wine/run.sh once everything is installed and
# built, under tests/offline.sh: only loopback exists and names resolve from a
# hosts file alone, so nothing leaves the machine and no resolver's answer counts.
# Each check compares what the Windows build does under Wine with what the Linux
# build does (or with a fixed text); a line "wine differs from Windows: ..." says
# where Wine itself is known to behave otherwise than Windows.
# Environment from run.sh: CVN_WINE_DIR (the Windows build run), CVN_WINE (the
# Wine loader), CVN_WINE_MODE (native, emulated or wine64), WINEPREFIX.
# Prints "checks: N passed, M failed"; exit 0 when none failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
out=$root/build-win32
win=$CVN_WINE_DIR
read -ra wine <<<"$CVN_WINE"
mode=$CVN_WINE_MODE
peer=$root/build/tests/wine_peer
runs=$win/checks
rm -rf "$runs"
mkdir -p "$runs"

. tests/wine/lib.sh
# Static checks of the 32-bit DLL: entry points by plain name, and imports of
# system DLLs and tavrel.dll (only lua_push_object from it), no Lua DLL.
dll32=$out/corvane.dll
exports=$(i686-w64-mingw32-objdump -p "$dll32" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  grep -o 'tvr_[a-z_]*' | sort | tr '\n' ' ')
check "ten entry points by plain name (32-bit DLL)" "tvr_close tvr_description tvr_devicenum tvr_info tvr_name tvr_open tvr_requested_api tvr_start tvr_stop tvr_version " "$exports"
imports=$(i686-w64-mingw32-objdump -p "$dll32" | awk '/DLL Name:/ {dll=$3} dll && /^\t[0-9a-f]+\t/ {print dll ":" $NF}' |
  grep -Eiv '^(kernel32|user32|gdi32|wsock32|netapi32|msvcrt)\.dll:' | sort | tr '\n' ' ')
check "imports: system DLLs, and tavrel.dll for lua_push_object only (32-bit DLL)" "tavrel.dll:lua_push_object " "$imports"
echo "     corvane.dll imports: $(i686-w64-mingw32-objdump -p "$dll32" | awk '/DLL Name/ {print $3}' | sort | tr '\n' ' ')"
if [ $mode = wine64 ]; then
  objdump=x86_64-w64-mingw32-objdump
  imports=$($objdump -p "$win/corvane.dll" | awk '/DLL Name/ {print $3}' | grep -i lua)
  check "no Lua DLL imported (64-bit DLL)" "" "$imports"
fi

check "descriptive entry points" "$(build/tavrel --info)" "$(wine_run "$win" tavrel.exe --info)"
# The command line is read as on Linux: the same messages and statuses.
command_line() {  # tavrel command...
  local a
  for a in --version --timeout --timeout=abc --bogus "-x"; do transcript "$@" "$a"; done
}
check "command line: --version, a missing value, a wrong one, unknown options" "$(command_line build/tavrel)" \
  "$(cd "$win" && command_line timeout 60 "${wine[@]}" tavrel.exe)"
check "entry points called directly" "size 4: Corv, no terminator
size 256: nothing copied
size 300: Corvane, NUL to 44
refused record: 0
close twice: 1 1
event 99: 1
api 3 device 189" "$(wine_run "$win" entry_check.exe)"

# The transcript listens on a port and expects nothing at the one 9 above.
script=$(windows_path "$root/tests/wine/boundary.lua")
transcript build/tavrel --timeout 20 tests/wine/boundary.lua "$(free_port 9)" >"$win/linux.txt"
check "boundary transcript, Lua 5.1" "$(cat "$win/linux.txt")" \
  "$(cd "$win" && transcript timeout 180 "${wine[@]}" tavrel.exe --timeout 60 "$script" "$(free_port 9)")"
transcript build/lua50/tavrel50 --plugin build/libcorvane.so --timeout 20 tests/wine/boundary.lua \
  "$(free_port 9)" >"$win/linux50.txt"
check "boundary transcript, Lua 5.0 interface (Linux, against Lua 5.1)" "$(cat "$win/linux.txt")" "$(cat "$win/linux50.txt")"
check "boundary transcript, Lua 5.0 interface" "$(cat "$win/linux.txt")" \
  "$(cd "$win/lua50" && transcript timeout 180 "${wine[@]}" tavrel.exe --plugin '..\corvane.dll' --timeout 60 \
    "$script" "$(free_port 9)")"
# A script that never returns: the time-out stops it, on both Lua builds.
printf 'print("running") while true do end\n' >"$win/loop.lua"
stopped=$'running\ntavrel: time-out after 1 s\nexit 124'
check "a running loop stopped by the time-out, Lua 5.1" "$stopped" \
  "$(cd "$win" && transcript timeout 60 "${wine[@]}" tavrel.exe --timeout 1 loop.lua)"
check "a running loop stopped by the time-out, Lua 5.0 interface" "$stopped" \
  "$(cd "$win/lua50" && transcript timeout 60 "${wine[@]}" tavrel.exe --plugin='..\corvane.dll' --timeout=1 '..\loop.lua')"

# --- One script per network situation, and the hostile peers ---
# Each script of tests/wine/checks/ runs under tavrel on Linux and under
# tavrel.exe, each time against a wine_peer of its own (tests/wine/peer.cpp, on
# Linux) that gives its connections the roles named. The transcript is the
# script's standard output, its exit status and what the peer printed; what the
# script notes on standard error ("info: ...", measurements) is shown, never
# compared.
listening() {  # port: waits up to 10 s for a listener on it
  for _ in $(seq 200); do
    ss -Htln | awk '{print $4}' | grep -q ":$1\$" && return 0
    sleep 0.05
  done
  return 1
}
# Runs the named script under one host; prints its transcript. The script's
# arguments: the peer's port, a port of its own and a file name it may use. With
# --connects N the peer, instead of listening, opens N connections to the
# script's port once the script says "listening". Lines matching $drop (when
# set) are left out; with $debug and $trace set, tavrel --debug and --trace
# write the plug-in's debugger lines and the traffic on its standard error.
run_situation() {  # linux|wine, name, [--connects N | roles...]
  local host=$1 name=$2 connects=0
  shift 2
  [ "${1:-}" = --connects ] && connects=$2
  local pp op log=$runs/$name.$host cmd peer_pid=""
  pp=$(free_port)
  op=$(free_port)
  [ "$op" != "$pp" ] || op=$((pp + 1))
  if [ "$connects" -eq 0 ]; then
    "$peer" --listen "$pp" "$@" >"$log.peer" 2>&1 &
    peer_pid=$!
    listening "$pp"
  fi
  if [ "$host" = linux ]; then
    cmd=(timeout 150 build/tavrel ${debug:+--debug} ${trace:+--trace} --timeout 100 "tests/wine/checks/$name.lua"
         "$pp" "$op" "$log.flag")
  else
    cmd=(timeout 200 "${wine[@]}" tavrel.exe ${debug:+--debug} ${trace:+--trace} --timeout 150
         "$(windows_path "$root/tests/wine/checks/$name.lua")" "$pp" "$op" "$(windows_path "$log.flag")")
  fi
  rm -f "$log.flag"
  (cd "$([ "$host" = linux ] && echo "$root" || echo "$win")" && "${cmd[@]}" >"$log.out" 2>"$log.err"; echo "exit $?" >>"$log.out") &
  local run_pid=$!
  if [ "$connects" -gt 0 ]; then
    for _ in $(seq 1200); do grep -q "^listening" "$log.out" 2>/dev/null && break; sleep 0.1; done
    "$peer" --connect "$op" "$connects" >"$log.peer" 2>&1
  fi
  wait "$run_pid"
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null
    wait "$peer_pid" 2>/dev/null
  fi
  if [ -n "${drop:-}" ]; then tr -d '\r' <"$log.out" | grep -Ev "$drop"; else tr -d '\r' <"$log.out"; fi
  sort "$log.peer"  # lines of concurrent connections come in any order
}
situation() {  # name, [--connects N | roles...]
  # CVN_WINE_ONLY="name ...": only those (a developer's shortcut).
  [ -n "${CVN_WINE_ONLY:-}" ] && [[ " $CVN_WINE_ONLY " != *" $1 "* ]] && return
  local linux wine_side
  linux=$(run_situation linux "$@")
  wine_side=$(run_situation wine "$@")
  check "$1: the same under Wine as on Linux" "$linux" "$wine_side"
  local h
  for h in linux wine; do
    tr -d '\r' <"$runs/$1.$h.err" | sed -n "s/^info: /     $h: /p"
  done
}
wine_differs() { echo "     wine differs from Windows: $*"; }

situation bind_after_close
situation refused
situation port_in_use
situation send_after_reset 'send=hello\r\n,await,reset'
situation read_after_reset 'await,send=one\r\ntwo\r\n,reset'
wine_differs "Wine's TCP is Linux's: bytes that arrived before a reset are still read; Windows may discard them and report 10054."
situation accept_gone
situation close_twice log
situation number_reused 'send=busy\r\n,log' 'sleep=300,close' 'send=hello\r\n,log'
situation reconnect 'send=bye\r\n,close' 'send=hello\r\n,echo'
situation flood_close flood=f echo
situation streams flood=s
situation connects --connects 500
debug=1 situation misspelt 'send=one\r\ntwo\r\n,halfclose,log'
# What --debug and the host's own word on mistakes put on standard error: the
# debugger line that names the callback (once), and the line that tells the
# script's author (once), the socket's number and the port left out.
misspelt_lines() {  # linux|wine
  tr -d '\r' <"$runs/misspelt.$1.err" | grep -E '^(\[debug\] Callback|tavrel: )' |
    sed -E 's/socket [0-9]+/socket N/g; s/[0-9]{4,5}, "OnDevcie"/PORT, "OnDevcie"/'
}
if [ -f "$runs/misspelt.wine.err" ]; then
  check "misspelt: the debugger line and the author's, as on Linux" "$(misspelt_lines linux)" "$(misspelt_lines wine)"
  check "misspelt: the debugger line that names the callback, once" \
    'Callback "OnDevcie" of socket N (host "127.0.0.1") is not a function; nothing is called' \
    "$(misspelt_lines wine | sed -n 's/^\[debug\] //p')"
fi
# --trace: every line sent and received, time-stamped; times and the socket's
# number aside, the same lines.
trace=1 situation half_close 'send=line\r\n,halfclose,log'
trace_lines() {  # linux|wine
  tr -d '\r' <"$runs/half_close.$1.err" | sed -nE 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[[0-9]+ /[N /p' |
    sed -E 's/port [0-9]+/port PORT/'
}
if [ -f "$runs/half_close.wine.err" ]; then
  check "--trace: the traffic as on Linux" "$(trace_lines linux)" "$(trace_lines wine)"
  check "--trace: the line received among them" yes "$(trace_lines wine | grep -q '127.0.0.1] <- line$' && echo yes)"
fi
# No tavrel.exit: the run ends once nothing can call the script back.
situation ends_by_itself 'send=one\r\ntwo\r\n,close'
situation soak_hostile ask
# The limit of open sockets is not run under Wine: there it is the descriptor
# limit of Wine's own processes, whose services and threads need descriptors too
# (tavrel.exe at such a limit of 128 ended in a page fault inside Wine, or Wine
# did not start), while Windows has no such per-process limit.
wine_differs "sockets are descriptors of Wine's processes: at their limit Wine itself fails; the limit of open sockets is checked on Linux only (test_hostile)."
# A reload stops running code (the hosts' doing, on either side): a callback it
# cuts short prints its error, as often as it happens to.
drop='^Error \(Read\): .*interrupted!$' situation reload flood=r

# --- tavrel.exe as tavrel: scripts from standard input, os.exit, Ctrl-C ---
from_stdin() {  # text, tavrel command...
  local text=$1; shift
  printf '%s' "$text" | transcript "$@"
}
piped=$'print(arg[0], arg[1], arg[2]) print(cvn_old.MD5("abc"))\nos.exit(3)\n'
check "a script from standard input, with arguments and os.exit" "$(from_stdin "$piped" build/tavrel - a b)" \
  "$(cd "$win" && from_stdin "$piped" timeout 60 "${wine[@]}" tavrel.exe - a b)"
check "a script from standard input that does not compile" "$(from_stdin '+' build/tavrel)" \
  "$(cd "$win" && from_stdin '+' timeout 60 "${wine[@]}" tavrel.exe)"
lines=$'x = 6\nx * 7\nfunction f()\n  return x\nend\n=f()\nerror("oops", 0)\nos.exit(4)\n'
check "the console reading a pipe: chunks over lines, =expr, errors, os.exit" "$(from_stdin "$lines" build/tavrel -i)" \
  "$(cd "$win" && from_stdin "$lines" timeout 60 "${wine[@]}" tavrel.exe -i)"
# Ctrl-C, as SIGINT for tavrel and for Wine, which makes it tavrel.exe's console
# control event: the running code stops with where it was, the plug-in is told
# (the atclose function runs), status 130; a blocking Open (a connect to a
# listener whose queue is full) is aborted.
interrupted() {  # linux|wine, script, the line after which Ctrl-C comes
  local out=$runs/interrupt.$1 pid
  if [ "$1" = linux ]; then
    build/tavrel "$2" >"$out" 2>&1 &
  else
    (cd "$win" && exec "${wine[@]}" tavrel.exe "$(windows_path "$2")") >"$out" 2>&1 &
  fi
  pid=$!
  for _ in $(seq 600); do grep -q "^$3" "$out" && break; sleep 0.1; done
  sleep 0.5  # into the loop, or the connect
  kill -INT "$pid"
  for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid"
  echo "exit $?" >>"$out"
  tr -d '\r' <"$out" | sed -E 's/^\t[^ ]*[/\\]([a-z]+\.lua):/\t\1:/'
}
printf 'tavrel.atclose(function() print("closed") end)\nprint("running")\nwhile true do end\n' >"$runs/loop.lua"
check "Ctrl-C stops running code: its place, the plug-in told, status 130" \
  "$(interrupted linux "$runs/loop.lua" running)" "$(interrupted wine "$runs/loop.lua" running)"
full_port=$(free_port)
"$peer" --full "$full_port" >/dev/null 2>&1 &
full_pid=$!
listening "$full_port"
printf 'print("opening")\nlocal s, st = cvn_old.Open("127.0.0.1", %s, "cb")\nprint("returned", s, st)\n' "$full_port" \
  >"$runs/open.lua"
check "Ctrl-C aborts a blocking Open" "$(interrupted linux "$runs/open.lua" opening)" \
  "$(interrupted wine "$runs/open.lua" opening)"
kill "$full_pid" 2>/dev/null
wait "$full_pid" 2>/dev/null

# The console in a terminal: tavrel.exe in Wine's console, which Wine draws on
# the terminal it runs in, here a tmux pane of 80 columns. Keys are typed as a
# user types them, each step waiting for what the last one shows; the screen
# at the end is compared whole.
tm=(tmux -L "corvane-wine-$$")
pane() { "${tm[@]}" capture-pane -p -t console | sed 's/[[:space:]]*$//' | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'; }
shows() {  # text: true once it is on the screen (a guard of 60 s)
  for _ in $(seq 600); do pane | grep -qF -- "$1" && return 0; sleep 0.1; done
  echo "     not on the screen: $1"
  return 1
}
prompt() {  # the last line is an empty prompt again
  for _ in $(seq 600); do [ "$(pane | tail -1)" = ">" ] && return 0; sleep 0.1; done
  echo "     no fresh prompt"
  return 1
}
type_keys() { "${tm[@]}" send-keys -t console -l -- "$1"; }
press() { "${tm[@]}" send-keys -t console "$@"; }
console_port=$(free_port)
"$peer" --listen "$console_port" 'sleep=2000,send=hello\r\n,log' >"$runs/console.peer" 2>&1 &
console_peer=$!
listening "$console_port"
"${tm[@]}" new-session -d -s console -x 80 -y 40 \
  "cd '$win' && env WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all ${wine[*]} tavrel.exe; echo exit \$?; sleep 600"
prompt
type_keys 'x = 6'; press Enter; prompt
type_keys 'function f()'; press Enter; shows '>>'
type_keys '  return x * 7'; press Enter; type_keys 'end'; press Enter; prompt
type_keys '=f()'; press Enter; shows 42 && prompt
type_keys 'cvn_old.Op'; press Tab; shows '> cvn_old.Open('; press C-u; prompt
type_keys "print('looping') while true do end"; press Enter; shows looping
press C-c; shows 'in main chunk' && prompt
type_keys 'half a line'; shows 'half a line'; press C-c; shows '^C' && prompt
type_keys "function cb(line) print('got', line) end"; press Enter; prompt
type_keys "s = cvn_old.Open('127.0.0.1', $console_port, 'cb')"; press Enter; prompt
type_keys "print('typed')"; press Left Left; shows hello
type_keys X; press Enter; shows typedX && prompt
press Up; shows "> print('typedX')"; press Enter; prompt
press C-d; shows 'exit 0'
console_screen=$(pane | sed "s/$console_port/PORT/")
"${tm[@]}" kill-server
kill "$console_peer" 2>/dev/null
wait "$console_peer" 2>/dev/null
check "the console in a terminal: chunks over lines, =expr, Tab, Ctrl-C, a line arriving above the one typed, history" \
  "Corvane 1.0, tavrel 1.0, Lua 5.1.5; Ctrl-Z or Ctrl-D quits
> x = 6
> function f()
>>   return x * 7
>> end
> =f()
42
> print('looping') while true do end
looping
interrupted!
stack traceback:
        console:1: in main chunk
> half a line^C
> function cb(line) print('got', line) end
> s = cvn_old.Open('127.0.0.1', PORT, 'cb')
got     hello
> print('typedX')
typedX
> print('typedX')
typedX
>
exit 0" "$console_screen"
wine_differs "Wine's console in a terminal does not pass Ctrl-Z on; Ctrl-D ends the console there."

# Names and NetBIOS where only loopback and the hosts file answer: a name no one
# knows fails with 11001, and adapter 0 does not exist, on both sides.
if [ "${CVN_OFFLINE:-}" = 1 ]; then
  situation unknown_host
  expected=$'Nslookupmac\tnil\t-1'
  check "Nslookupmac without adapters (Linux)" "$expected" "$(build/tavrel --timeout 20 tests/wine/mac.lua 2>&1)"
  mac=$(windows_path "$root/tests/wine/mac.lua")
  check "Nslookupmac without adapters (Wine)" "$expected" "$(wine_run "$win" tavrel.exe --timeout 60 "$mac")"
else
  echo "not run: the unknown host and Nslookupmac checks (no network namespace with only loopback here)"
fi
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
summary checks
