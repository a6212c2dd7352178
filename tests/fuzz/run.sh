#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs each for SECONDS
# (default 20). A longer run: tests/fuzz/run.sh 3600
set -euo pipefail
seconds=${1:-20}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${FUZZ_BUILD:-$root/build-fuzz}
mkdir -p "$out"
flags="-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all"
clang++ $flags "$here/fuzz_ccf.cpp" "$root/script/ccf.cpp" "$root/tools/ccf_check.cpp" -o "$out/fuzz_ccf"
clang++ $flags "$here/fuzz_nbstat.cpp" "$root/platform/posix/nbstat.cpp" -o "$out/fuzz_nbstat"
clang++ $flags "$here/fuzz_split.cpp" -o "$out/fuzz_split"
for t in fuzz_ccf fuzz_nbstat fuzz_split; do
  mkdir -p "$out/corpus_$t"
  "$out/$t" -max_total_time="$seconds" -max_len=2048 "$out/corpus_$t" "$here/seeds_${t#fuzz_}" \
    > "$out/$t.log" 2>&1 || { tail -40 "$out/$t.log"; exit 1; }
  tail -1 "$out/$t.log"
done
