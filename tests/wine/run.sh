#!/usr/bin/env bash
# Builds the 32-bit Windows plug-in with MinGW-w64 and runs the boundary tests
# under Wine, comparing each transcript with the Linux build's. Installs what it
# needs (the i386 architecture, Wine, MinGW-w64, Debian's Lua 5.1 source).
#   tests/wine/run.sh            (the DLL lands in build-win32/corvane.dll)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
out=$root/build-win32
mkdir -p "$out"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if ! dpkg --print-foreign-architectures | grep -q i386; then
  if ! $sudo dpkg --add-architecture i386 2>/dev/null; then
    echo "wine tests skipped: the i386 architecture cannot be added on this machine"
    exit 0
  fi
  $sudo apt-get update -qq
fi
need=()
for p in g++-mingw-w64-i686 wine wine32:i386 dpkg-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null || {
    echo "wine tests: cannot install ${need[*]}"; exit 1; }
fi

# Lua 5.1 from Debian's source package.
lua_src=$(ls -d "$out"/lua/lua5.1-*/src 2>/dev/null | head -1)
if [ -z "$lua_src" ]; then
  if ! grep -rqs "^deb-src .*bookworm main" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "deb-src http://deb.debian.org/debian bookworm main" | $sudo tee /etc/apt/sources.list.d/corvane-src.list >/dev/null
    $sudo apt-get update -qq
  fi
  mkdir -p "$out/lua" && (cd "$out/lua" && apt-get source -qq lua5.1 >/dev/null 2>&1)
  lua_src=$(ls -d "$out"/lua/lua5.1-*/src | head -1)
fi

cmake -S win32 -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
  -DLUA_SRC="$lua_src" -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
cmake --build "$out" -j"$(nproc)" >/dev/null || { cmake --build "$out" 2>&1 | tail -30; exit 1; }

# The Linux build to compare with.
cmake -S . -B build -DCVN_BENCH=OFF >/dev/null && cmake --build build -j"$(nproc)" --target tavrel corvane >/dev/null

export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.ready" ]; then
  wineboot -i >"$out/wineboot.log" 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$out/wineboot.log" 2>&1
  wineserver -w
  touch "$WINEPREFIX/.ready"
fi

pass=0
fail=0
check() {  # name, expected, actual
  if [ "$2" = "$3" ]; then pass=$((pass + 1)); echo "ok   $1"; else
    fail=$((fail + 1)); echo "FAIL $1"; diff <(echo "$2") <(echo "$3") | head -20; fi
}
exports=$(i686-w64-mingw32-objdump -p "$out/corvane.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  grep -o 'tvr_[a-z_]*' | sort | tr '\n' ' ')
check "ten entry points by plain name" "tvr_close tvr_description tvr_devicenum tvr_info tvr_name tvr_open tvr_requested_api tvr_start tvr_stop tvr_version " "$exports"
imports=$(i686-w64-mingw32-objdump -p "$out/corvane.dll" | grep "DLL Name" | awk '{print $3}' | sort | tr '\n' ' ')
echo "     corvane.dll imports: $imports"
wine_run() {  # output file, args...
  local file=$1; shift
  (cd "$out" && timeout 60 wine tavrel.exe "$@" >"$file" 2>&1)
}
wine_run "$out/info.txt" --info
check "descriptive entry points" "$(build/tavrel --info)" "$(tr -d '\r' <"$out/info.txt")"

(cd "$out" && timeout 60 wine entry_check.exe >"$out/entry.txt" 2>&1)
check "entry points called directly" "size 4: Corv, no terminator
size 256: nothing copied
size 300: Corvane, NUL to 44
refused record: 0
close twice: 1 1
event 99: 1
api 3 device 189" "$(tr -d '\r' <"$out/entry.txt")"
port=$((47000 + RANDOM % 1000))
build/tavrel --timeout 20 tests/wine/boundary.lua "$port" >"$out/linux.txt" 2>&1
wine_run "$out/wine.txt" --timeout 20 "$(winepath -w "$root/tests/wine/boundary.lua")" "$((port + 20))"
check "boundary transcript" "$(cat "$out/linux.txt")" "$(tr -d '\r' <"$out/wine.txt")"
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
# Nslookupmac in a network namespace with only loopback, where adapter 0 does not
# exist: the query fails cleanly on both sides.
if unshare -n true 2>/dev/null; then
  expected=$'Nslookupmac\tnil\t-1'
  linux=$(unshare -n sh -c "ip link set lo up; build/tavrel --timeout 20 tests/wine/mac.lua" 2>&1)
  check "Nslookupmac without adapters (Linux)" "$expected" "$linux"
  mac=$(winepath -w "$root/tests/wine/mac.lua")
  unshare -n sh -c "ip link set lo up; cd '$out' && timeout 60 wine tavrel.exe --timeout 20 '$mac' > mac.txt 2>&1; wineserver -w"
  check "Nslookupmac without adapters (Wine)" "$expected" "$(tr -d '\r' <"$out/mac.txt")"
else
  echo "skip Nslookupmac without adapters: no network namespace can be made here"
fi
echo "wine: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
