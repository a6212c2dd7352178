#!/usr/bin/env bash
# The main job: the gateway simulator on loopback and the demo script against it.
# Usage: tools/demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build}
port=${GCSIM_PORT:-4998}
log=$(mktemp)
"$bin/gcsim" --port "$port" --log >"$log" 2>&1 &
sim=$!
# gcsim ends by the TERM signal: its status must not become the script's (set -e).
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 50); do grep -q listening "$log" && break; sleep 0.1; done
grep -q listening "$log" || { cat "$log"; exit 1; }
echo "== demo script (tavrel examples/ir_demo.lua)"
status=0
"$bin/tavrel" --timeout 30 "$root/examples/ir_demo.lua" 127.0.0.1 "$port" || status=$?
echo "== what the gateway saw (gcsim --log)"
cat "$log"
exit $status
