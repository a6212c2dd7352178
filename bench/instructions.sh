#!/usr/bin/env bash
# Instructions the plug-in spends delivering lines, counted by callgrind (which
# other load on the machine does not disturb), for the working tree against a
# baseline commit built in the same run: the cost of a change on the read path.
#   bench/instructions.sh [BASE] [--lines N]     (BASE defaults to main)
# Counts everything inside the network thread's read handler (on_read): receiving,
# splitting lines, the script lock, lua_push_object and the Lua callback.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base=${1:-main}
lines=100000
[ "${2:-}" = --lines ] && lines=$3
command -v valgrind >/dev/null || { echo "bench/instructions.sh needs valgrind" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build() {  # source dir, build dir
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DCVN_TESTS=OFF >/dev/null
  cmake --build "$2" -j2 --target bench_delivery >/dev/null
}
count() {  # bench_delivery
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" --toggle-collect='cvn::on_read*' \
    "$1" plugin-lines --lines "$lines" >/dev/null 2>"$work/cg.log"
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/cg.log"
}
mkdir -p "$work/base"
git -C "$root" archive "$base" | tar -x -C "$work/base"
build "$work/base" "$work/base/build"
build "$root" "$work/tree"
b=$(count "$work/base/build/bench_delivery")
t=$(count "$work/tree/bench_delivery")
awk -v b="$b" -v t="$t" -v n="$lines" -v base="$base" 'BEGIN {
  printf "%s: %.1f instructions a line\n", base, b / n
  printf "working tree: %.1f instructions a line (%+.1f, ratio %.4f)\n", t / n, (t - b) / n, t / b }'
