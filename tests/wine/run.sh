#!/usr/bin/env bash
# Builds the Windows release with MinGW-w64 (win32/release.sh: the plug-in,
# tavrel.exe, gcsim.exe, ccf2sendir.exe, the zip and the installer) and runs the
# Wine checks: tests/wine/checks.sh, the boundary transcript on Lua 5.1
# (lua51.dll) and on the Lua 5.0 test double (lua50.dll), and one script per
# network situation and hostile peer (tests/wine/checks/), each transcript
# compared with the Linux build's (CVN_WINE_ONLY="name ..." runs only those
# scripts); and tests/wine/release_checks.sh, the release tried from its
# archive and installer in a fresh prefix as a user would. The 32-bit DLL, the
# one hosts load, lands in build-win32/corvane.dll and is run wherever that can
# be had:
#   - where the kernel runs 32-bit programs: under 32-bit Wine as it is;
#   - where it does not: under 32-bit Wine through qemu-user's i386 emulation
#     (qemu 10 from bookworm-backports; Debian 12's 7.2 cannot start 32-bit
#     Wine), registered with binfmt_misc for this run only;
#   - where neither works: the 32-bit DLL is checked statically and every Wine
#     check runs on a 64-bit build (build-win64) under 64-bit Wine.
# Installs what it needs; apt sources it adds for that (bookworm-backports,
# Debian's source packages) are removed again when it ends. The i386 architecture
# it adds stays: the 32-bit Wine installed with it needs it, and dpkg cannot drop
# an architecture that installed packages use. The checks run offline, after
# every install. CVN_QEMU_I386 names another qemu-i386 (a missing one forces the
# last path). Prints "wine: N passed, M failed"; exit 0 when none failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
out=$root/build-win32
mkdir -p "$out"
. tools/apt.sh
sudo=$apt_sudo

# --- Does this kernel run 32-bit programs? Asked before any package changes. ---
# A 93-byte i386 program that exits 0. Its ELF ABI-version byte is 1, which the
# kernel ignores but the usual binfmt_misc entries for i386 (magic and mask over
# the first 20 bytes) do not match, so an emulator registered for i386 cannot
# answer for the kernel; should some enabled entry match it anyway, the answer
# counts as "no" and the run goes on through emulation, which works either way.
i386_program() {  # file, ABI-version byte (as \xNN)
  printf '\x7fELF\x01\x01\x01\x00'"$2"'\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$1"
  chmod +x "$1"
}
binfmt=/proc/sys/fs/binfmt_misc
binfmt_would_take() {  # file: true when an enabled binfmt_misc entry matches it
  local bytes entry off magic mask i m k b
  read -ra bytes <<<"$(od -An -tx1 -v "$1" | tr '\n' ' ')"
  for entry in "$binfmt"/*; do
    case ${entry##*/} in register | status) continue ;; esac
    grep -qx enabled "$entry" 2>/dev/null || continue
    off=$(sed -n 's/^offset //p' "$entry")
    magic=$(sed -n 's/^magic //p' "$entry")
    mask=$(sed -n 's/^mask //p' "$entry")
    [ -n "$magic" ] || continue
    for ((i = 0; i < ${#magic} / 2; i++)); do
      m=$((16#${magic:2*i:2}))
      k=255
      [ -n "$mask" ] && k=$((16#${mask:2*i:2}))
      b=$((16#${bytes[off + i]:-100}))
      [ $((b & k)) -eq $((m & k)) ] || continue 2
    done
    return 0
  done
  return 1
}
probe=$out/probe-i386
i386_program "$probe" '\x01'
native32=no
if "$probe" 2>/dev/null && ! binfmt_would_take "$probe"; then native32=yes; fi

# --- i386 emulation through qemu-user 10 and binfmt_misc, for this run only ---
qemu=${CVN_QEMU_I386:-/usr/bin/qemu-i386}
binfmt_entry=""
prefix32=$out/wineprefix
prefix64=$root/build-win64/wineprefix
added_sources=()  # apt source files this run added, removed when it ends
add_source() {  # file name, line
  echo "$2" | $sudo tee "/etc/apt/sources.list.d/$1" >/dev/null && added_sources+=("/etc/apt/sources.list.d/$1")
}
cleanup() {
  if [ ${#added_sources[@]} -gt 0 ]; then
    # The lists apt fetched for them are left to its next update, which drops them.
    $sudo rm -f "${added_sources[@]}"
  fi
  WINEPREFIX=$prefix32 wineserver -k 2>/dev/null
  WINEPREFIX=$prefix64 wineserver -k 2>/dev/null
  WINEPREFIX=$out/release-prefix wineserver -k 2>/dev/null
  if [ -n "$binfmt_entry" ] && [ -e "$binfmt/$binfmt_entry" ]; then
    echo -1 | $sudo tee "$binfmt/$binfmt_entry" >/dev/null
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
qemu_usable() {  # a static qemu-i386 of version 10 or later
  [ -x "$qemu" ] || return 1
  "$qemu" --version 2>/dev/null | grep -Eq 'version ([1-9][0-9]+)\.' || return 1
  ! readelf -l "$qemu" 2>/dev/null | grep -q 'program interpreter'
}
emulation_start() {
  if ! qemu_usable && [ "$qemu" = /usr/bin/qemu-i386 ]; then
    if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
      add_source corvane-backports.list "deb http://deb.debian.org/debian bookworm-backports main"
    fi
    apt_update && apt_get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >/dev/null
  fi
  qemu_usable || return 1
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || return 1
  binfmt_entry=corvane-i386-$$
  # F: the interpreter is opened now, so it also serves in other mount namespaces.
  local magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":$binfmt_entry:M::$magic:$mask:$qemu:F" | $sudo tee "$binfmt/register" >/dev/null 2>&1 || {
    binfmt_entry=""
    return 1
  }
  i386_program "$out/probe-i386-plain" '\x00'
  "$out/probe-i386-plain" 2>/dev/null && return 0
  echo -1 | $sudo tee "$binfmt/$binfmt_entry" >/dev/null
  binfmt_entry=""
  return 1
}

install_wine32() {
  local added=no
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 2>/dev/null || return 1
    added=yes
  fi
  if [ $added = yes ] && ! apt_update || ! install_missing wine wine32:i386; then
    # Nothing of i386 got installed: the architecture goes again.
    [ $added = yes ] && $sudo dpkg --remove-architecture i386 2>/dev/null
    return 1
  fi
}

install_missing g++-mingw-w64-i686 dpkg-dev binutils tmux || { echo "wine tests: cannot install MinGW-w64 and tmux"; exit 1; }
mode=wine64
if [ $native32 = yes ]; then
  install_wine32 && mode=native
elif emulation_start && install_wine32; then
  mode=emulated
fi
case $mode in
  native) echo "32-bit programs run natively here: the 32-bit DLL runs under 32-bit Wine" ;;
  emulated) echo "this kernel runs no 32-bit programs: 32-bit Wine runs through qemu-user i386 emulation (binfmt_misc entry $binfmt_entry, removed afterwards)" ;;
  wine64) echo "32-bit Wine cannot be run here, natively or emulated: the 32-bit DLL is checked statically; the Wine checks run on a 64-bit build under 64-bit Wine" ;;
esac
if [ $mode = wine64 ]; then
  install_missing g++-mingw-w64-x86-64 wine64 || { echo "wine tests: cannot install 64-bit Wine"; exit 1; }
fi

# The release (win32/release.sh, which also fetches Lua 5.1's source): the
# 32-bit build the checks run, and the archive and installer they try.
release=$(win32/release.sh "$out") || exit 1
zip=$(sed -n 1p <<<"$release")
setup=$(sed -n 2p <<<"$release")
lua_src=$(ls -d "$out"/lua/lua5.1-*/src | head -1)
windows_build() {  # build dir, toolchain file
  cmake -S win32 -B "$1" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$2" -DLUA_SRC="$lua_src" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
  cmake --build "$1" -j2 >/dev/null || { cmake --build "$1" 2>&1 | tail -30; return 1; }
}
win=$out
objdump=i686-w64-mingw32-objdump
wine=(wine)
prefix=$prefix32
if [ $mode = wine64 ]; then
  win=$root/build-win64
  windows_build "$win" toolchain-mingw64.cmake || exit 1
  # /usr/bin/wine always takes the 32-bit loader when wine32 is installed.
  wine=(/usr/lib/wine/wine64)
  export WINELOADER=/usr/lib/wine/wine64
  prefix=$prefix64
fi

# The Linux builds to compare with.
cmake -S . -B build -DCVN_BENCH=OFF >/dev/null &&
  cmake --build build -j2 --target tavrel tavrel50 corvane wine_peer gcsim ccf2sendir >/dev/null || exit 1

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
. tests/wine/lib.sh
if [ ! -f "$WINEPREFIX/.ready" ]; then
  make_prefix
  touch "$WINEPREFIX/.ready"
fi

# The checks run where only loopback exists and names resolve from a hosts file
# alone (tests/offline.sh). Wine makes its sockets in the wineserver: one still
# running out here would make them on this machine's network, so none is left.
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
CVN_WINE_DIR=$win CVN_WINE="${wine[*]}" CVN_WINE_MODE=$mode tests/offline.sh tests/wine/checks.sh | tee "$out/checks.log"
if [ $mode = wine64 ]; then
  echo "not run: the release's checks (its 32-bit programs need 32-bit Wine)"
else
  CVN_WINE="${wine[*]}" CVN_RELEASE_ZIP=$zip CVN_RELEASE_SETUP=$setup CVN_RELEASE_PREFIX=$out/release-prefix \
    tests/offline.sh tests/wine/release_checks.sh | tee -a "$out/checks.log"
fi
# Each part ends with "NAME: N passed, M failed"; a part that did not get there
# counts as a failure.
parts=2
[ $mode = wine64 ] && parts=1
read -r passed failed < <(awk -v parts=$parts '/^[a-z]+: [0-9]+ passed, [0-9]+ failed$/ {p += $2; f += $4; n++}
  END {print p + 0, f + (n < parts ? 1 : 0)}' "$out/checks.log")
echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
