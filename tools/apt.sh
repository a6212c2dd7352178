# Installing Debian packages, for the scripts that need some (source this file):
#   apt_get ARGS...          apt-get as root (sudo when not root), non-interactive
#   apt_update               apt-get update, tried again while another apt holds
#                            the lists' lock (DPkg::Lock::Timeout covers only
#                            dpkg's lock, not the lists')
#   installed PACKAGE        true when the package is installed
#   install_missing PKG...   installs those of the packages that are missing
apt_sudo=""
[ "$(id -u)" -eq 0 ] || apt_sudo="sudo"
apt_get() { $apt_sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"; }
apt_update() {
  local try out
  for try in $(seq 60); do
    out=$(apt_get update -qq 2>&1) && return 0
    if ! grep -q 'Could not get lock' <<<"$out"; then
      echo "$out" >&2
      return 1
    fi
    sleep 10
  done
  echo "$out" >&2
  return 1
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
install_missing() {
  local need=() p
  for p in "$@"; do installed "$p" || need+=("$p"); done
  [ ${#need[@]} -eq 0 ] && return 0
  apt_update && apt_get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}
