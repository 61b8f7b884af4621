# shellcheck shell=bash
# Sourced by the scripts: kp_install_packages PACKAGE... installs those of the Debian packages
# that are missing (apt-get update first), as root or through sudo; nothing when all are there.
# Its messages go to standard error, so that a script's standard output stays its own.

kp_install_packages() {
  local missing=() p sudo=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "$(basename "$0"): installing ${missing[*]}" >&2
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}" >&2
}
