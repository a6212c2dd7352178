#!/usr/bin/env bash
# Builds the benchmarks and runs them. Every figure is printed beside a baseline
# measured in the same run; nothing here is a pass/fail test.
#   bench/run.sh [lines|echo|events|timers|fairness|lockwait|memory|all] [--runs N]
# lines and echo compare the plug-in under tavrel with a tight C floor and with
# LuaSocket (bench_receivers); the rest run the plug-in in the benchmark's own
# process (bench_delivery). The machine's load average is printed first: other
# work on it moves the figures, less so the ratios.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCVN_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target bench_delivery bench_receivers >/dev/null
what=${1:-all}
[ $# -gt 0 ] && shift
echo "== load average: $(cut -d' ' -f1-3 /proc/loadavg)"
case $what in
  lines | echo) build-bench/bench_receivers "$what" "$@" ;;
  events | timers | fairness | lockwait | memory) build-bench/bench_delivery "$what" ;;
  all)
    build-bench/bench_receivers all "$@"
    build-bench/bench_delivery all
    ;;
  *) echo "unknown benchmark: $what" >&2; exit 2 ;;
esac
if [ "$what" = all ] || [ "$what" = lines ]; then
  if command -v strace >/dev/null; then
    echo "== system calls while the plug-in under tavrel takes 100000 lines of 32 bytes"
    strace -f -c -e trace=recvfrom,epoll_wait,epoll_ctl build-bench/bench_receivers corvane-lines --lines 100000 2>&1 |
      grep -E "recvfrom|epoll|total"
  fi
fi
echo "== load average: $(cut -d' ' -f1-3 /proc/loadavg)"
