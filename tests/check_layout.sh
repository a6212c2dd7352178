#!/usr/bin/env bash
# Keeps the plug-in's rooms in order: includes point one way, down
#   plugin -> script -> net -> include -> platform,
# include/ holds only what the host shares (host_interface.h, the export macros),
# only platform/ includes system headers or tests _WIN32 and __linux__ (besides
# the export macros), and nothing outside a platform backend reaches into it.
# First makes sure, on small planted trees, that each kind of fault is noticed.
#   tests/check_layout.sh SOURCE_ROOT
set -uo pipefail

rooms=(platform include net script plugin)  # bottom to top
level() {
  local i
  for i in "${!rooms[@]}"; do [ "${rooms[i]}" = "$1" ] && echo "$i" && return; done
  echo -1
}

# What the host shares with the plug-in, the one thing include/ holds.
host_shared=(include/host_interface.h include/cvn_export.h)

# Prints one line for each fault in the tree at $1; fails when there is one.
check() {
  local root=$1 faults=0 f line no text inc target room sub troom tsub
  while IFS= read -r f; do
    [[ " ${host_shared[*]} " == *" $f "* ]] && continue
    echo "$f: include/ holds only what the host shares; the core's interfaces live in net/"
    faults=$((faults + 1))
  done < <(cd "$root" && find include -type f 2>/dev/null | sort)
  while IFS= read -r f; do
    room=${f%%/*}
    sub=""
    [ "$room" = platform ] && [[ $f == platform/*/* ]] && sub=${f#platform/} && sub=${sub%%/*}
    while IFS= read -r line; do
      no=${line%%:*}
      text=${line#*:}
      if [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
        inc=${BASH_REMATCH[1]}
        target=$(realpath -m --relative-to="$root" "$root/$(dirname "$f")/$inc")
        troom=${target%%/*}
        tsub=""
        [ "$troom" = platform ] && [[ $target == platform/*/* ]] && tsub=${target#platform/} &&
          tsub=${tsub%%/*}
        if [ ! -f "$root/$target" ]; then
          echo "$f:$no: includes $inc, which names no file"
        elif [ "$(level "$troom")" -lt 0 ]; then
          echo "$f:$no: includes $target, outside the plug-in's rooms"
        elif [ "$(level "$troom")" -gt "$(level "$room")" ]; then
          echo "$f:$no: includes $target from a room above ($troom over $room)"
        elif [ -n "$tsub" ] && [ "$tsub" != "$sub" ]; then
          echo "$f:$no: includes $target, inside the $tsub backend"
        else
          continue
        fi
        faults=$((faults + 1))
      elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
        inc=${BASH_REMATCH[1]}
        # The C++ library's headers have no ".h" and no directory.
        if [ "$room" != platform ] && [[ $inc == *.h || $inc == */* ]]; then
          echo "$f:$no: includes the system header <$inc>; only platform/ may"
          faults=$((faults + 1))
        fi
      elif [ "$room" != platform ] && [[ $text =~ ^[[:space:]]*#.*(_WIN32|__linux__) ]] &&
        [ "$f" != include/cvn_export.h ] && [ "$f" != include/host_interface.h ]; then
        echo "$f:$no: tests ${BASH_REMATCH[1]}; only platform/ and the export macros may"
        faults=$((faults + 1))
      fi
    done < <(grep -n '^[[:space:]]*#' "$root/$f")
  done < <(cd "$root" && find "${rooms[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort)
  [ "$faults" -eq 0 ]
}

# --- planted faults, each of which must be reported ---
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
plant() {  # case name, then pairs of file and content
  local dir=$scratch/$1
  shift
  mkdir -p "$dir"/{platform/posix,platform/win32,include,net,script,plugin}
  : >"$dir/platform/platform.h"
  : >"$dir/platform/posix/internal.h"
  : >"$dir/include/host_interface.h"
  : >"$dir/net/registry.h"
  while [ $# -gt 1 ]; do
    mkdir -p "$(dirname "$dir/$1")"
    printf '%b\n' "$2" >"$dir/$1"
    shift 2
  done
  echo "$dir"
}
expect() {  # what the report must say, tree
  local out
  out=$(check "$2") && { echo "layout check missed a planted fault: $1"; exit 1; }
  grep -qF -- "$1" <<<"$out" || { echo "layout check said '$out', not '$1'"; exit 1; }
}
expect "includes net/registry.h from a room above (net over include)" \
  "$(plant up include/a.h '#include "../net/registry.h"')"
expect "includes the system header <sys/socket.h>" \
  "$(plant os net/a.cpp '#include <mutex>\n#include <sys/socket.h>')"
expect "tests _WIN32" "$(plant macro script/a.cpp '#if defined(_WIN32)\n#endif')"
expect "inside the posix backend" \
  "$(plant internal net/a.cpp '#include "../platform/posix/internal.h"')"
expect "inside the posix backend" \
  "$(plant across platform/win32/a.cpp '#include "../posix/internal.h"')"
expect "outside the plug-in's rooms" \
  "$(plant outside plugin/a.cpp '#include "../host/x.h"' host/x.h '')"
expect "which names no file" "$(plant stale net/a.cpp '#include "platform.h"')"
expect "include/connection.h: include/ holds only what the host shares" \
  "$(plant shared include/connection.h '')"
clean=$(plant clean net/a.cpp '#include <mutex>\n#include "../include/host_interface.h"
#include "../platform/platform.h"' platform/posix/a.cpp '#include <sys/socket.h>
#include "internal.h"\n#include "../platform.h"\n#if defined(__linux__)\n#endif')
out=$(check "$clean") || { echo "layout check faulted a sound tree: $out"; exit 1; }

# --- the tree itself ---
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
if ! check "$root"; then
  echo "layout: faults above"
  exit 1
fi
echo "layout: includes point down the rooms; only platform/ knows the system"
