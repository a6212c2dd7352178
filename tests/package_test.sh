#!/usr/bin/env bash
# Builds the Debian package from a build tree and looks at it as Debian's tools
# do: computed dependencies, stripped programs, compressed man pages, copyright
# and changelog, the host header usable on its own, a tavrel that runs from the
# unpacked tree, and, where lintian is installed, not one lintian error.
#   tests/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/corvane_*.deb)
echo "built ${deb##*/}"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 liblua5.1-0 libreadline8 libstdc++6; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[[ $(dpkg-deb -f "$deb" Description | wc -l) -gt 2 ]] || fail "no extended description"
[[ $(dpkg-deb -f "$deb" Maintainer) != *localhost* ]] || fail "maintainer on localhost"

root=$work/root
dpkg-deb -x "$deb" "$root"
for f in usr/include/corvane/host_interface.h usr/share/doc/corvane/copyright usr/share/doc/corvane/changelog.gz \
         usr/share/man/man1/tavrel.1.gz usr/share/man/man1/gcsim.1.gz usr/share/man/man1/ccf2sendir.1.gz \
         usr/share/man/man7/corvane.7.gz; do
  [ -f "$root/$f" ] || fail "missing $f"
done
gzip -t "$root"/usr/share/man/man*/*.gz "$root/usr/share/doc/corvane/changelog.gz"
for f in usr/bin/tavrel usr/bin/gcsim usr/bin/ccf2sendir usr/lib/corvane/libcorvane.so usr/lib/corvane/libtavrel.so; do
  [[ $(file -b "$root/$f") == *", stripped"* ]] || fail "$f is not stripped"
done
echo '#include <corvane/host_interface.h>
int main() { return sizeof(HostRecord) > 0 ? 0 : 1; }' | c++ -std=c++17 -fsyntax-only -I "$root/usr/include" -x c++ - ||
  fail "the installed header does not compile on its own"
# Read whole before it is looked at: grep -q leaving early would give tavrel a
# SIGPIPE, which pipefail counts as a failure.
info=$("$root/usr/bin/tavrel" --info) || fail "the unpacked tavrel does not run: $info"
[[ $info == "Corvane 1.0"* ]] || fail "the unpacked tavrel does not load its plug-in: $info"

if command -v lintian >/dev/null; then
  # lintian warns when run as root; that is not about the package.
  if ! lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1; then
    grep -v "root privileges" "$work/lintian.log" >&2
    fail "lintian reports errors"
  fi
  grep -v "root privileges" "$work/lintian.log" || true
  echo "lintian: no errors"
else
  echo "lintian is not installed: its check is skipped"
fi
echo "package test passed"
