#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs the demo against the
# bundled gateway simulator.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
exec tools/demo.sh build
