#!/usr/bin/env bash
# The Windows release tried as a user would, under 32-bit Wine; run by
# tests/wine/run.sh under tests/offline.sh once the release is made:
#   - the archive unpacked into a fresh prefix's C:\ holds the release's files;
#   - gcsim.exe and tavrel.exe examples\ir_demo.lua from there give the demo's
#     transcript and the simulator's log as on Linux (times, the port and the
#     socket's number aside), in each of the simulator's three reply families;
#   - ccf2sendir.exe gives the Linux one's standard output, standard error and
#     status, byte for byte, over a corpus of good and bad codes and options;
#   - gcsim.exe and tavrel.exe refuse bad input with the Linux ones' words and
#     statuses;
#   - the installer run with /S installs every file, the Start-menu entries and
#     the uninstaller's registration; the uninstaller run with /S removes them.
# Environment from run.sh: CVN_WINE (the Wine loader), CVN_RELEASE_ZIP,
# CVN_RELEASE_SETUP, CVN_RELEASE_PREFIX (made anew here). Prints "release: N
# passed, M failed"; exit 0 when none failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
read -ra wine <<<"$CVN_WINE"
. tests/wine/lib.sh
zip=$CVN_RELEASE_ZIP
setup=$CVN_RELEASE_SETUP
name=$(basename "$zip" .zip)
runs=$(dirname "$zip")/release-checks
rm -rf "$runs"
mkdir -p "$runs"

# A prefix no earlier run has touched. Installers make menu entries of the
# desktop's too; Wine's menu builder is kept from doing that on this machine.
export WINEPREFIX=$CVN_RELEASE_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"
make_prefix
drive=$WINEPREFIX/drive_c
(cd "$drive" && cmake -E tar xf "$zip")
app=$drive/$name
expected_files=$(cd "$runs" && cmake -E tar tf "$zip" | sed "s|^$name/||" | sort)
check "the archive unpacked into C:\\$name" "$expected_files" "$(cd "$app" && find . -type f | sed 's|^\./||' | sort)"

# --- the demo against the simulator ---
# Lines with the seconds since the start, and gcsim's log with the time of day:
# the times, the socket's number and the port go; the rest is compared.
# Each side has a port of its own.
demo_lines() { tr -d '\r' | sed -E 's/^ *[0-9]+\.[0-9]{3}  //; s/socket [0-9]+/socket N/; s/127\.0\.0\.1:[0-9]+/127.0.0.1:PORT/'; }
log_lines() { tr -d '\r' | sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} //; s/127\.0\.0\.1:[0-9]+/127.0.0.1:PORT/'; }
listening() {  # log file: waits up to 60 s for gcsim's first line
  for _ in $(seq 600); do grep -q "^gcsim listening" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
demo() {  # linux|windows, family
  local port sim status log=$runs/$1.$2
  port=$(free_port)
  if [ "$1" = linux ]; then
    build/gcsim --port "$port" --family "$2" --log >"$log.gcsim" 2>&1 &
  else
    (cd "$app" && exec "${wine[@]}" gcsim.exe --port "$port" --family "$2" --log) >"$log.gcsim" 2>&1 &
  fi
  sim=$!
  listening "$log.gcsim"
  if [ "$1" = linux ]; then
    build/tavrel --timeout 60 examples/ir_demo.lua 127.0.0.1 "$port" >"$log.demo" 2>&1
  else
    (cd "$app" && timeout 180 "${wine[@]}" tavrel.exe --timeout 120 'examples\ir_demo.lua' 127.0.0.1 "$port") \
      >"$log.demo" 2>&1
  fi
  status=$?
  kill "$sim" 2>/dev/null
  wait "$sim" 2>/dev/null
  echo "exit $status" >>"$log.demo"
}
# In each of the simulator's reply families.
for family in tagged bare legacy; do
  demo linux $family
  demo windows $family
  check "gcsim.exe --family $family and tavrel.exe examples\\ir_demo.lua: the demo's transcript" \
    "$(demo_lines <"$runs/linux.$family.demo")" "$(demo_lines <"$runs/windows.$family.demo")"
  check "gcsim.exe --family $family --log: what the gateway saw" \
    "$(log_lines <"$runs/linux.$family.gcsim")" "$(log_lines <"$runs/windows.$family.gcsim")"
done
check "the demo ran through" $'demo finished\nexit 0' "$(demo_lines <"$runs/windows.tagged.demo" | tail -2)"

# --- ccf2sendir, byte for byte ---
# Codes as they come: good ones, the plug-in's refusals (bad hex, groups, gaps,
# white space, line ends, a zero frequency, too many groups), the gateway's
# (counts, offsets), bytes that are no text, an overlong line; the last line
# without its line end.
corpus() {
  local g=" 0016 0041" long="" i
  for i in $(seq 130); do long+="$g"; done
  printf '%s\n' \
    "0000 006D 0002 0002 0158 00AC 0016 0041 0016 0016 0016 0E6C" \
    "0000 0073 0001 0000 0158 00AC" \
    "0000 006D 0000 0002 0158 00AC 0016 0041" \
    "0000 006d 0002 0000 0158 00ac 0016 0041" \
    "0000 006D 0002 0000 0158 00AC 0016 004G" \
    "0000 006D 0002 0000 0158 00AC 0016 041" \
    "0000 006D 0002 0000 0158  00AC 0016 0041" \
    "0000 0000 0002 0000 0158 00AC 0016 0041" \
    "0100 006D 0002 0000 0158 00AC 0016 0041" \
    "0000 006D 0022 0000 0158 00AC 0016 0041" \
    "0000 006D 0000 0000 0158 00AC 0016 0041" \
    "0000 006D 0002 0000 0158 0000 0016 0041" \
    "0000 006D" \
    "0000 006D 0082 0000$long$long" \
    "not a code at all" \
    ""
  printf '0000 006D 0002 0000 0158 00AC 0016 0041\r\n'
  printf '\t0000 006D 0002 0000 0158 00AC 0016 0041 \n'
  printf '0000 006D 0002 0000 0158 \x00AC 0016 0041\n'
  printf '0000 006D 0002 0000 \xe9\xff58 00AC 0016 0041\n'
  head -c 70000 /dev/zero | tr '\0' 'A'
  printf '\n0000 006D 0001 0000 0158 00AC'
}
mkdir -p "$runs/linux/examples"
cp examples/codes.txt "$runs/linux/examples/"
corpus >"$runs/linux/corpus.txt"
cp "$runs/linux/corpus.txt" "$app/corpus.txt"
ccf_cases=(
  "--check --file examples/codes.txt"
  "--file examples/codes.txt"
  "--check --file corpus.txt"
  "--file corpus.txt"
  "--connector 2 --repeat 3 --id 65535 --cr --file corpus.txt"
  "--module 2 --connector 4 --repeat 51 -f corpus.txt"
  "-m 1 -c 0 -r 0 --file=corpus.txt"
  "--connector -1 --check -f corpus.txt -f examples/codes.txt"
  "0000 006D 0001 0000 0158 00AC|0000 006D"
  "--check|0000 006D 0002 0000 0158 00AC 0016 0041 "
  "<corpus.txt"
  "--check|--file|-|<corpus.txt"
  "--id=65536 0000"
  "--module=x 0000"
  "-r"
  "--bogus"
  "--cr=1"
  "--file nonexistent/codes"
  "--file examples"
)
# A case: its arguments split at blanks, or, where it has any "|", at those;
# "<FILE" is standard input.
ccf_run() {  # linux|windows, case
  local dir args=() input=/dev/null part out=$runs/ccf.$1
  dir=$([ "$1" = linux ] && echo "$runs/linux" || echo "$app")
  if [[ $2 == *"|"* ]]; then IFS='|' read -ra parts <<<"$2"; else read -ra parts <<<"$2"; fi
  for part in "${parts[@]}"; do
    if [[ $part == "<"* ]]; then input=$dir/${part#<}; else args+=("$part"); fi
  done
  if [ "$1" = linux ]; then
    (cd "$dir" && "$root/build/ccf2sendir" "${args[@]}" <"$input" >"$out.out" 2>"$out.err")
  else
    (cd "$dir" && timeout 120 "${wine[@]}" ccf2sendir.exe "${args[@]}" <"$input" >"$out.out" 2>"$out.err")
  fi
  echo "exit $?" >>"$out.err"
}
for c in "${ccf_cases[@]}"; do
  ccf_run linux "$c"
  ccf_run windows "$c"
  same=yes
  cmp -s "$runs/ccf.linux.out" "$runs/ccf.windows.out" || same="standard output differs"
  cmp -s "$runs/ccf.linux.err" "$runs/ccf.windows.err" || same="standard error or status differs"
  check "ccf2sendir.exe ${c//|/ \| }: the same bytes and status as on Linux" yes "$same"
  [ "$same" = yes ] || diff <(cat -A "$runs/ccf.linux.err") <(cat -A "$runs/ccf.windows.err") | head -6
done

# --- the tools' refusals ---
# A port taken by a listener of the test's own is one gcsim cannot listen on.
busy_port=$(free_port)
build/tests/wine_peer --listen "$busy_port" log >/dev/null 2>&1 &
busy_pid=$!
refusals() {  # linux|windows
  local dir=$root/build exe="" run=() a
  [ "$1" = windows ] && dir=$app exe=.exe run=(timeout 120 "${wine[@]}")
  for a in "--port 99999" "--port=-1" "--port x" "--family nonesuch" "--family" "stray" "--log=1" \
           "--bind nonesuch.invalid" "--port $busy_port"; do
    read -ra words <<<"$a"
    (cd "$dir" && transcript "${run[@]}" "./gcsim$exe" "${words[@]}")
  done
  (cd "$dir" && transcript "${run[@]}" "./tavrel$exe" nonesuch.lua)
  (cd "$dir" && transcript "${run[@]}" "./tavrel$exe" --timeout=soon x.lua)
  # The loader's words for a missing library are its own on each system.
  (cd "$dir" && transcript "${run[@]}" "./tavrel$exe" --plugin nonesuch.dll x.lua) |
    sed 's/^\(tavrel: cannot load nonesuch.dll\): .*/\1: .../'
}
for _ in $(seq 100); do ss -Htln | awk '{print $4}' | grep -q ":$busy_port\$" && break; sleep 0.05; done
check "gcsim.exe and tavrel.exe refuse bad input as on Linux" "$(refusals linux)" "$(refusals windows)"
kill "$busy_pid" 2>/dev/null
wait "$busy_pid" 2>/dev/null

# --- the installer and its uninstaller ---
wineserver -w
(cd "$(dirname "$setup")" && timeout 300 "${wine[@]}" "$(basename "$setup")" /S)
wineserver -w
# A 32-bit installer's Program Files: "Program Files (x86)" in a 64-bit prefix.
installed_dir() { ls -d "$drive/Program Files (x86)/Corvane" "$drive/Program Files/Corvane" 2>/dev/null | head -1; }
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Corvane"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvane'
inst=$(installed_dir)
check "the installer with /S: every file under Program Files, and its uninstaller" \
  "$(printf '%s\nuninstall.exe\n' "$expected_files" | sort)" \
  "$([ -n "$inst" ] && cd "$inst" && find . -type f | sed 's|^\./||' | sort)"
if [ -n "$inst" ]; then
  check "installed files as in the archive" "" "$(for f in $expected_files; do cmp -s "$app/$f" "$inst/$f" || echo "$f"; done)"
fi
check "the installer: Start-menu entries for the docs" \
  "Corvane gateway simulator.lnk
Corvane host interface.lnk
Corvane read me.lnk
Corvane script reference.lnk" "$(ls "$menu" 2>/dev/null)"
check "the installer: the uninstaller registered, to run silently with /S" yes \
  "$("${wine[@]}" reg query "$uninstall_key" /v QuietUninstallString 2>/dev/null | tr -d '\r' |
     grep -q 'uninstall.exe" /S' && echo yes)"
check "the installed tavrel.exe runs" "tavrel (Corvane) 1.0" \
  "$([ -n "$inst" ] && wine_run "$inst" tavrel.exe --version | head -1)"
# From C:\: a process whose current folder is the one to remove would keep it.
[ -n "$inst" ] && (cd "$drive" && timeout 300 "${wine[@]}" "$inst/uninstall.exe" /S)
wineserver -w
check "the uninstaller with /S: nothing of it left" "" \
  "$(installed_dir; ls -d "$menu" 2>/dev/null; "${wine[@]}" reg query "$uninstall_key" >/dev/null 2>&1 && echo "$uninstall_key")"

wineserver -k 2>/dev/null
summary release
