#!/usr/bin/env bash
# Builds the benchmarks and runs them. Every figure is printed beside a baseline
# measured in the same run; nothing here is a pass/fail test.
#   bench/run.sh [lines|echo|events|timers|fairness|lockwait|memory|all] [--runs N]
# lines and echo compare the plug-in under tavrel with a tight C floor and with
# LuaSocket (bench_receivers), lines with the system calls per line after them;
# the rest run the plug-in in the benchmark's own process (bench_delivery). The machine's load average is printed first: other
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
# System calls the plug-in under tavrel makes per 1000 lines, by name, with a main
# chunk that returns and with one that polls in tavrel.sleep (a script thread
# taking the script lock every 5 ms), beside the C floor's. Counted with perf's
# system call tracepoints where they can be had, else with strace (which slows
# every call down and so changes how lines bunch up). The sender makes none of
# these calls.
syscalls_per_1000() {
  local n=1000000 calls=(sched_yield futex epoll_wait epoll_ctl recvfrom) out how
  out=$(mktemp)
  if perf stat -x, -o "$out" -e syscalls:sys_enter_futex true 2>/dev/null; then
    how=perf
  elif command -v strace >/dev/null; then
    how=strace
  else
    echo "(neither perf nor strace: no system call counts)"
    return
  fi
  echo "== system calls per 1000 lines while a receiver takes $n distinct lines of 32 bytes ($how)"
  printf "%-22s" "receiver"; printf " %11s" "${calls[@]}"; echo
  for chunk in "C floor" corvane "corvane, polls"; do
    local run=(build-bench/bench_receivers corvane-lines --lines $n)
    [ "$chunk" = "corvane, polls" ] && run+=(--poll)
    [ "$chunk" = "C floor" ] && run[1]=floor-lines
    if [ $how = perf ]; then
      local events
      events=$(printf 'syscalls:sys_enter_%s,' "${calls[@]}")
      perf stat -x, -o "$out" -e "${events%,}" "${run[@]}" >/dev/null
    else
      local names
      names=$(IFS=,; echo "${calls[*]}")
      strace -f -c -o "$out" -e trace="$names" "${run[@]}" >/dev/null
    fi
    printf "%-22s" "$chunk"
    for c in "${calls[@]}"; do
      awk -v how=$how -v c="$c" -v n=$n '
        how == "perf" { split($0, f, ","); if (f[3] == "syscalls:sys_enter_" c) k = f[1] }
        how == "strace" && $NF == c { k = $4 }
        END { printf " %11.2f", k * 1000 / n }' "$out"
    done
    echo
  done
  rm -f "$out"
}
if [ "$what" = all ] || [ "$what" = lines ]; then
  syscalls_per_1000
fi
echo "== load average: $(cut -d' ' -f1-3 /proc/loadavg)"
