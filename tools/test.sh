#!/usr/bin/env bash
# Builds and runs the whole test suite: a plain build, AddressSanitizer with
# UndefinedBehaviorSanitizer, ThreadSanitizer, a short run of each fuzz target,
# and the Windows build's checks under Wine (tests/wine/run.sh), which makes the
# Windows release (build-win32/corvane-<version>-win32.zip and -setup.exe) and
# tries it as a user would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/install-deps.sh
jobs=$(nproc)
total=0
run_suite() {  # name, extra cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCVN_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  echo "== $dir"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300) | tee "$dir/ctest.log"
  local n
  n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$dir/ctest.log")
  total=$((total + ${n:-0}))
}
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DCVN_SANITIZE=address,undefined
run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DCVN_SANITIZE=thread
echo "== fuzz"
tests/fuzz/run.sh "${FUZZ_SECONDS:-15}"
echo "== the Windows plug-in and release under Wine"
tests/wine/run.sh | tee build/wine.log
n=$(sed -n 's/^wine: \([0-9]*\) passed, 0 failed$/\1/p' build/wine.log)
total=$((total + ${n:-0}))
echo "tests: $total passed, 0 failed"
