#!/usr/bin/env bash
# The Windows release in one command, from a clean clone:
#   win32/release.sh [BUILD_DIR]        (default: build-win32)
# cross-builds the 32-bit plug-in and programs with MinGW-w64 and makes
#   BUILD_DIR/corvane-<version>-win32.zip        the release's folder, zipped
#   BUILD_DIR/corvane-<version>-win32-setup.exe  the same files in an installer
# Installs what it needs: CMake, MinGW-w64, cmark-gfm (the docs as pages), nsis
# (makensis) and Lua 5.1's source (Debian's source package, unpacked under
# BUILD_DIR/lua; the apt source it may add for that goes again at the end).
# Prints the two files' paths; exit 0 when both were made.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=${1:-$root/build-win32}
mkdir -p "$out"
out=$(cd "$out" && pwd)
. tools/apt.sh

added_source=""
cleanup() { [ -z "$added_source" ] || $apt_sudo rm -f "$added_source"; }
trap cleanup EXIT

install_missing cmake make dpkg-dev g++-mingw-w64-i686 cmark-gfm nsis ||
  { echo "win32/release.sh: cannot install CMake, MinGW-w64, cmark-gfm and nsis" >&2; exit 1; }

lua_src=$(ls -d "$out"/lua/lua5.1-*/src 2>/dev/null | head -1 || true)
if [ -z "$lua_src" ]; then
  if ! grep -rqs "^deb-src .*bookworm main" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    added_source=/etc/apt/sources.list.d/corvane-src.list
    echo "deb-src http://deb.debian.org/debian bookworm main" | $apt_sudo tee "$added_source" >/dev/null
    apt_update
  fi
  mkdir -p "$out/lua"
  (cd "$out/lua" && apt-get source -qq lua5.1 >/dev/null 2>&1)
  lua_src=$(ls -d "$out"/lua/lua5.1-*/src | head -1)
fi

cmake -S win32 -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" -DLUA_SRC="$lua_src" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
if ! cmake --build "$out" -j2 >/dev/null || ! cmake --build "$out" --target release >/dev/null; then
  cmake --build "$out" --target release 2>&1 | tail -30
  exit 1
fi
version=$(sed -n 's/^project(corvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
echo "$out/corvane-$version-win32.zip"
echo "$out/corvane-$version-win32-setup.exe"
