#!/usr/bin/env bash
# Runs a command cut off from every network but loopback, with a name service of
# its own: a network namespace in which only lo is up, and a mount namespace in
# which /etc/hosts, /etc/nsswitch.conf and /etc/resolv.conf are the ones written
# below. Names resolve from that hosts file alone, so a lookup of any other name
# fails at once with "not found" (11001 on both platforms) and no query leaves
# the machine, whatever resolver the machine itself has.
#
#   tests/offline.sh command [args...]   run it so; CVN_OFFLINE=1 tells it where it runs
#   tests/offline.sh --check             exit 0 when such a namespace can be made here
#
# As root the namespaces are made directly, otherwise inside a user namespace
# (where the kernel allows one). Where neither can be had, the command runs as
# it is, without CVN_OFFLINE, and one line on stderr says so: tests that look up
# names they expect to fail skip those checks then. Already offline: runs as is.
set -euo pipefail

if [ "${1:-}" = --check ]; then
  [ "${CVN_OFFLINE:-}" = 1 ] && exit 0
  exec "$0" sh -c '[ "$CVN_OFFLINE" = 1 ]' 2>/dev/null
fi
[ $# -gt 0 ] || { echo "usage: tests/offline.sh command [args...] | --check" >&2; exit 2; }
[ "${CVN_OFFLINE:-}" = 1 ] && exec "$@"

if [ "${CVN_OFFLINE_INSIDE:-}" = 1 ]; then
  # Inside the new namespaces: loopback up, the name service files in place.
  unset CVN_OFFLINE_INSIDE
  dir=$CVN_OFFLINE_DIR
  unset CVN_OFFLINE_DIR
  ip link set lo up
  mount --make-rprivate / 2>/dev/null || true
  for f in hosts nsswitch.conf resolv.conf; do
    mount --bind "$dir/$f" "/etc/$f"
  done
  export CVN_OFFLINE=1
  exec "$@"
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/cvn-offline.XXXXXX")
trap 'rm -rf "$dir"' EXIT
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$dir/hosts"
printf 'hosts: files\nnetworks: files\n' >"$dir/nsswitch.conf"
# Nothing answers on loopback's port 53: a program that asks DNS itself is refused
# at once instead of reaching a resolver.
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"$dir/resolv.conf"
chmod 644 "$dir"/*
chmod 755 "$dir"

self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
run_inside() {  # unshare options...
  CVN_OFFLINE_INSIDE=1 CVN_OFFLINE_DIR=$dir unshare "$@" --net --mount --fork -- "$self" "${cmd[@]}"
}
cmd=("$@")
probe() { CVN_OFFLINE_INSIDE=1 CVN_OFFLINE_DIR=$dir unshare "$@" --net --mount --fork -- "$self" true 2>/dev/null; }
if [ "$(id -u)" -eq 0 ] && probe; then
  run_inside
  exit $?
elif probe --user --map-root-user; then
  run_inside --user --map-root-user
  exit $?
fi
echo "offline.sh: no network namespace can be made here; running with the machine's own network and resolver" >&2
"$@"
