# What the Wine checks share (sourced by tests/wine/checks.sh and
# tests/wine/release_checks.sh): the pass/fail count, running a Windows program
# under Wine, transcripts, free loopback ports, and a Wine prefix made new.
# Expects `wine` (an array: the loader) to be set.
pass=0
fail=0
check() {  # name, expected, actual
  if [ "$2" = "$3" ]; then pass=$((pass + 1)); echo "ok   $1"; else
    fail=$((fail + 1)); echo "FAIL $1"; diff <(echo "$2") <(echo "$3") | head -20; fi
}
summary() {  # what was checked: "NAME: N passed, M failed"; true when none failed
  echo "$1: $pass passed, $fail failed"
  [ "$fail" -eq 0 ]
}
windows_path() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
# A Windows program under Wine, from its own directory; output with CR removed.
wine_run() {  # directory, program, args...
  local dir=$1; shift
  (cd "$dir" && timeout 180 "${wine[@]}" "$@" 2>&1 | tr -d '\r')
}
# A command's output followed by its exit status, so that a run cut short by its
# time-out cannot pass for a whole one.
transcript() {  # command...
  "$@" 2>&1 | tr -d '\r'
  echo "exit ${PIPESTATUS[0]}"
}
# Ports below the ephemeral range, where no client connection (of this machine's
# other tests either) can hold them, checked to be unused; with a gap, the port
# that far above too.
free_port() {  # [gap]
  local p gap=${1:-0}
  for _ in $(seq 100); do
    p=$((20000 + RANDOM % 12000))
    ss -Htan | awk '{print $4}' | grep -Eq ":($p|$((p + gap)))\$" || { echo "$p"; return; }
  done
  echo 29500
}
# A new Wine prefix at $WINEPREFIX, without a graphics driver (none is needed);
# a log of its making beside it.
make_prefix() {
  mkdir -p "$WINEPREFIX"
  timeout 600 "${wine[@]}" wineboot -i >"$WINEPREFIX.log" 2>&1
  "${wine[@]}" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$WINEPREFIX.log" 2>&1
  wineserver -w
}
