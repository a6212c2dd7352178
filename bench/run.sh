#!/usr/bin/env bash
# Builds the benchmarks and runs them. Every figure is printed beside a baseline
# measured in the same run; nothing here is a pass/fail test.
#   bench/run.sh [lines|events|timers|fairness|all] [--lines N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCVN_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target bench_delivery >/dev/null
build-bench/bench_delivery "${@:-all}"
if command -v strace >/dev/null; then
  echo "== system calls while the plug-in reads 100000 lines of 32 bytes"
  strace -f -c -e trace=recvfrom,recvmsg,read build-bench/bench_delivery plugin-lines --lines 100000 2>&1 |
    grep -E "recvfrom|total|lines/s"
fi
