#!/usr/bin/env bash
# Instructions the plug-in spends on each line, counted by callgrind (which other
# load on the machine does not disturb), for the working tree's plug-in against a
# baseline commit's, built in the same run: the cost of a change on the receive
# and send paths.
#   bench/instructions.sh [BASE] [--lines N]     (BASE defaults to main)
# Both plug-ins run under this tree's tavrel as bench_receivers starts it.
# Counted first is everything inside the network thread's read handler (on_read):
# receiving, splitting lines, the script lock and the Lua callback, and in the
# echo run the callback's cvn_old.Send as well. Then the whole receiver process
# per line, net of a one-line run's start-up, for lines as a device sends them
# (numbered, CR, LF and CR LF in turn) at 32 and 200 bytes, beside bench_receivers'
# C floor: what the CPU ratio of bench/run.sh lines is made of, but for the
# kernel's share. The traffic trace is off.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base=${1:-main}
lines=100000
[ "${2:-}" = --lines ] && lines=$3
pings=$((lines / 5))
command -v valgrind >/dev/null || { echo "bench/instructions.sh needs valgrind" >&2; exit 1; }
unset CVN_TRACE
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
configure() { cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DCVN_TESTS=OFF >/dev/null; }
mkdir -p "$work/base"
git -C "$root" archive "$base" | tar -x -C "$work/base"
configure "$work/base" "$work/base/build"
cmake --build "$work/base/build" -j2 --target corvane >/dev/null
configure "$root" "$work/tree"
cmake --build "$work/tree" -j2 --target bench_receivers >/dev/null
count() {  # plug-in, bench_receivers arguments...: instructions in on_read, all processes
  local plugin=$1
  shift
  rm -f "$work"/cg.*
  CVN_BENCH_PLUGIN=$plugin valgrind --tool=callgrind --trace-children=yes --callgrind-out-file="$work/cg.%p" \
    --toggle-collect='cvn::on_read*' "$work/tree/bench_receivers" "$@" >/dev/null 2>"$work/log"
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/log" | awk '{ n += $1 } END { print n + 0 }'
}
report() {  # what, per, bench_receivers arguments...
  local what=$1 n=$2
  shift 2
  local b t
  b=$(count "$work/base/build/libcorvane.so" "$@")
  t=$(count "$work/tree/libcorvane.so" "$@")
  awk -v what="$what" -v n="$n" -v b="$b" -v t="$t" -v base="$base" 'BEGIN {
    if (b == 0 || t == 0) { printf "%s: no count (a run failed)\n", what; exit 1 }
    printf "%s\n  %s: %.1f instructions\n", what, base, b / n
    printf "  working tree: %.1f instructions (%+.1f, ratio %.4f)\n", t / n, (t - b) / n, t / b }'
}
report "a line of 32 bytes received, inside the read handler ($lines lines)" "$lines" corvane-lines --lines "$lines"
report "a line received and sent back ($pings round trips)" "$pings" corvane-echo --pings "$pings"

receiver() {  # plug-in or "floor", bench_receivers arguments...: the receiver process's instructions
  local plugin=$1 what=corvane-lines
  shift
  [ "$plugin" = floor ] && what=floor-lines
  rm -f "$work"/cg.*
  CVN_BENCH_PLUGIN=$plugin valgrind --tool=callgrind --trace-children=yes --callgrind-out-file="$work/cg.%p" \
    "$work/tree/bench_receivers" "$what" "$@" >/dev/null 2>"$work/log"
  # The receiver is the process started as tavrel or as bench_receivers' floor.
  awk '/== Command: / { if ($0 ~ /tavrel|bench_receivers floor /) pid = $1 }
       /== Collected : / && $1 == pid { print $4 }' "$work/log"
}
per_line() {  # plug-in or "floor", size: instructions per line net of start-up
  local one all
  one=$(receiver "$1" --lines 1 --size "$2")
  all=$(receiver "$1" --lines "$lines" --size "$2")
  awk -v one="$one" -v all="$all" -v n="$lines" 'BEGIN { if (one == "" || all == "") print 0; else print (all - one) / (n - 1) }'
}
for size in 32 200; do
  f=$(per_line floor $size)
  b=$(per_line "$work/base/build/libcorvane.so" $size)
  t=$(per_line "$work/tree/libcorvane.so" $size)
  awk -v size=$size -v n="$lines" -v f="$f" -v b="$b" -v t="$t" -v base="$base" 'BEGIN {
    if (f == 0 || b == 0 || t == 0) { printf "a line of %d bytes: no count (a run failed)\n", size; exit 1 }
    printf "a distinct line of %d bytes, the whole receiver (%d lines, net of start-up)\n", size, n
    printf "  C floor: %.1f instructions\n", f
    printf "  %s: %.1f instructions (%.3f of the floor)\n", base, b, b / f
    printf "  working tree: %.1f instructions (%.3f of the floor)\n", t, t / f }'
done
