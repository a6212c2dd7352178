#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# skipping those already present (dpkg-dev, file and lintian: the package test
# builds the Debian package and checks it; iproute2: tests/offline.sh brings up
# loopback in the namespace it makes). Needs root (or sudo).
set -euo pipefail
packages=(cmake make g++ pkg-config binutils liblua5.1-0-dev lua5.1 lua-socket
          libgtest-dev libbenchmark-dev libreadline-dev clang libclang-rt-14-dev
          coreutils procps dpkg-dev file lintian iproute2)
. "$(dirname "$0")/apt.sh"
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
# Other apt users on the machine: apt.sh waits for their locks instead of failing.
apt_update
apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
