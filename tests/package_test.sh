#!/usr/bin/env bash
# Builds the Debian package from a build tree and looks at it as Debian's tools
# do: computed dependencies, Homepage and Bugs, no maintainer scripts, stripped
# programs, compressed man pages, the licence and changelog, a README whose
# links and commands fit the installed tree, the host header usable on its own,
# a tavrel that runs from the unpacked tree, and, where lintian is installed,
# not one lintian error nor one of the warnings mended before.
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
[[ $(dpkg-deb -f "$deb" Homepage) == http* ]] || fail "no Homepage field"
[[ -n $(dpkg-deb -f "$deb" Bugs) ]] || fail "no Bugs field"
# The libraries are in a private directory, which ldconfig never reads.
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do
  [ ! -e "$work/control/$script" ] || fail "a $script: $(cat "$work/control/$script")"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
for f in usr/include/corvane/host_interface.h usr/share/doc/corvane/copyright usr/share/doc/corvane/changelog.gz \
         usr/share/man/man1/tavrel.1.gz usr/share/man/man1/gcsim.1.gz usr/share/man/man1/ccf2sendir.1.gz \
         usr/share/man/man7/corvane.7.gz; do
  [ -f "$root/$f" ] || fail "missing $f"
done
gzip -t "$root"/usr/share/man/man*/*.gz "$root/usr/share/doc/corvane/changelog.gz"
doc=$root/usr/share/doc/corvane
grep -q "^License: Expat" "$doc/copyright" || fail "the copyright file names no licence"
# The installed README: links to the files beside it, the installed programs.
for f in README.md script-reference.md host-interface.md gcsim.md architecture.md; do
  [ -f "$doc/$f" ] || fail "missing usr/share/doc/corvane/$f"
done
for link in $(grep -o '](\([^)#]*\)' "$doc/README.md" | sed 's/^](//'); do
  [ -f "$doc/$link" ] || fail "the installed README links $link, which is not beside it"
done
! grep -n 'build/\|(docs/\|tools/' "$doc/README.md" || fail "the installed README shows commands of the source tree"
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
  for tag in maintscript-calls-ldconfig no-homepage-field copyright-should-refer-to-common-license-file; do
    ! grep -q "$tag" "$work/lintian.log" || fail "lintian: $tag"
  done
  echo "lintian: no errors"
else
  echo "lintian is not installed: its check is skipped"
fi
echo "package test passed"
