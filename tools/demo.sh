#!/usr/bin/env bash
# The main job: the gateway simulator on loopback and the demo script against it.
# Exits with the demo's status: 0 when it ran through, non-zero when it failed.
# Usage: tools/demo.sh [BUILD_DIR]   (default: build)
#   GCSIM_PORT (default 4998) and GCSIM_FAMILY (tagged, bare or legacy; default
#   tagged) choose the simulator's port and the way it words its replies.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build}
port=${GCSIM_PORT:-4998}
family=${GCSIM_FAMILY:-tagged}
log=$(mktemp)
sim=""
# The status is the one the script exits with; stopping the simulator (which
# then ends by SIGTERM) must not replace it.
finish() {
  local status=$?
  if [ -n "$sim" ]; then
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
  rm -f "$log"
  exit "$status"
}
trap finish EXIT
"$bin/gcsim" --port "$port" --family "$family" --log >"$log" 2>&1 &
sim=$!
for _ in $(seq 50); do
  grep -q listening "$log" && break
  kill -0 "$sim" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q listening "$log"; then
  echo "tools/demo.sh: the gateway simulator did not start:" >&2
  cat "$log" >&2
  exit 1
fi
echo "== demo script (tavrel examples/ir_demo.lua)"
status=0
"$bin/tavrel" --timeout 30 "$root/examples/ir_demo.lua" 127.0.0.1 "$port" || status=$?
echo "== what the gateway saw (gcsim --log)"
cat "$log"
exit "$status"
