#!/usr/bin/env bash
# Runs the commands of README.md's shell blocks as they are written, one after
# another, from a tree that is the source tree with the build under test as its
# build/. A command that ends badly fails the test. Those that would change the
# machine, run this suite again or take minutes are not run; each is named with
# the reason, and what it needs (a program, a file) is checked to be there.
# Run in a network namespace of its own (tests/offline.sh) the README's port
# 4998 is the simulator's, as written; elsewhere a free port stands for it.
#   tests/readme_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d)
background=()
cleanup() {
  local p
  for p in "${background[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "readme: $*" >&2; failed=1; }

tree=$work/tree
mkdir "$tree"
for entry in "$src"/* "$src"/.[!.]*; do
  [ -e "$entry" ] || continue
  name=${entry##*/}
  [ "$name" = build ] || [ "$name" = .git ] || ln -s "$entry" "$tree/$name"
done
ln -s "$build" "$tree/build"
# Brought up to date through its own path first: a make that found the build
# out of date under the tree's path would configure it again under that path.
cmake --build "$build" --target preinstall >/dev/null || fail "the build under test cannot be brought up to date"
cd "$tree"

port=4998
if [ "${CVN_OFFLINE:-}" != 1 ]; then
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 12000))
    ss -Htan | awk '{print $4}' | grep -q ":$port\$" || break
  done
fi

# The reason a command is not run, or nothing when it is; checks what it needs.
not_run() {  # command
  local c=$1 needs=""
  case $c in
    ./tools/setup.sh*) needs=tools/setup.sh; echo "it builds in the clone itself; the Demo test runs the demo it ends with" ;;
    ./tools/test.sh*) needs=tools/test.sh; echo "it runs the suite this test is part of" ;;
    tests/wine/run.sh*) needs=tests/wine/run.sh; echo "tools/test.sh runs it" ;;
    win32/release.sh*) needs=win32/release.sh; echo "tools/test.sh runs it, through tests/wine/run.sh" ;;
    "cmake -S . -B build"*) echo "the build under test is that build" ;;
    "(cd build && ctest)"*) echo "it runs the suite this test is part of" ;;
    bench/*|tests/fuzz/run.sh*) needs=${c%% *}; echo "it takes minutes" ;;
    "apt install "*) needs=${c#apt install }; echo "it installs on this machine" ;;
  esac
  if [ -n "$needs" ] && [ ! -e "$needs" ]; then fail "$c: $needs is not there"; fi
}

run=0
while IFS= read -r line; do
  cmd=$(sed -E 's/[[:space:]]+#[[:space:]].*$//; s/[[:space:]]+$//' <<<"$line")
  [ -n "$cmd" ] || continue
  why=$(not_run "$cmd")
  if [ -n "$why" ]; then
    echo "not run: $cmd ($why)"
    continue
  fi
  shown=$cmd
  cmd=${cmd//4998/$port}
  # Installing on this machine becomes installing under a prefix of the test's.
  cmd=${cmd//--prefix \/usr\/local/--prefix $work/prefix}
  run=$((run + 1))
  log=$work/out.$run
  if [[ $cmd == *"&" ]]; then
    cmd=${cmd%&}
    if [[ $cmd == build/gcsim* && $cmd != *--port* ]]; then cmd="$cmd --port $port"; fi
    bash -c "exec $cmd" </dev/null >"$log" 2>&1 &
    background+=($!)
    for _ in $(seq 100); do grep -q listening "$log" && break; sleep 0.05; done
    grep -q listening "$log" || fail "$shown: did not start: $(cat "$log")"
    echo "ran in the background: $shown"
    continue
  fi
  expected=0
  [[ $cmd == *"--check --file examples/codes.txt"* ]] && expected=1  # it holds codes with problems
  timeout 120 bash -c "$cmd" </dev/null >"$log" 2>&1
  status=$?
  if [ "$status" -ne "$expected" ]; then
    fail "$shown: exit $status, not $expected:"
    sed 's/^/    /' "$log" >&2
  else
    echo "ran: $shown (exit $status)${cmd:+$([ "$cmd" != "$shown" ] && echo ", as: $cmd")}"
  fi
done < <(awk '/^```sh$/ {in_block = 1; next} /^```/ {in_block = 0} in_block' "$src/README.md")

[ "$run" -gt 10 ] || fail "only $run commands found to run"
[ "$failed" -eq 0 ] && echo "readme test passed"
exit "$failed"
