#!/usr/bin/env bash
# Installs into a temporary prefix and runs the demo from there.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'kill $sim 2>/dev/null || true; rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
"$prefix/bin/gcsim" --port 0 >"$prefix/sim.log" 2>&1 &
sim=$!
for _ in $(seq 50); do grep -q listening "$prefix/sim.log" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on .*:\([0-9]*\)$/\1/p' "$prefix/sim.log")
"$prefix/bin/tavrel" --timeout 20 "$prefix/share/corvane/examples/ir_demo.lua" 127.0.0.1 "$port" | tee "$prefix/out"
grep -q "demo finished" "$prefix/out"
test -f "$prefix/share/man/man7/corvane.7.gz"
test -f "$prefix/include/corvane/host_interface.h"
echo "install test passed"
