# Shared helpers for the CI scripts and dev.sh: package installation and timed steps.
# SPDX-License-Identifier: MIT

# ensure_packages PKG...: installs the Debian packages that are missing.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
}

# rebuild_identical FAMILY DIST WORK [VAR=VALUE...]: builds FAMILY (deb or
# rpm) again in another, deeper directory under WORK, under umask 002, in
# another time zone and locale, with the variables given (which must turn the
# tests off), and fails unless every package in DIST comes out the same.
rebuild_identical() {
  local family=$1 dist=$2 log=$3/again.log again=$3/again/in/another/place p
  shift 3
  (umask 002 && cd / && env TZ=America/St_Johns LC_ALL=C.UTF-8 LANG=C.UTF-8 "$@" \
    "$OLDPWD/packaging/build.sh" "$family" "$again/build" "$again/out") > "$log" 2>&1 ||
    { cat "$log" >&2; fail "the second build failed"; }
  ! grep -q 'tests passed' "$again/build/build.log" || fail "$* ran the tests"
  for p in "$dist"/*."$family"; do
    cmp "$p" "$again/out/$(basename "$p")" || fail "$(basename "$p") differs between two builds"
  done
  echo "reproducible: $(find "$dist" -name "*.$family" | wc -l) packages bit-identical across two builds (directory, umask, time zone, locale)"
}

# The packages every build of the project needs.
# sysvinit-utils (LSB init functions) and systemd (the SysV generator) are for the
# tests that run the written init scripts under the real tools.
BASE_PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev sysvinit-utils systemd)

# unpack_insserv DIR: Debian's insserv unpacked into DIR (DIR/sbin/insserv,
# DIR/etc/insserv.conf), for the tests that show the boot order it computes.
# Never installed: its post-install step would reorder every script's links.
unpack_insserv() {
  [ -x "$1/sbin/insserv" ] && return 0
  local tmp
  tmp=$(mktemp -d)
  if (cd "$tmp" && apt-get download insserv >/dev/null 2>&1) && dpkg-deb -x "$tmp"/insserv_*.deb "$1"; then
    rm -rf "$tmp"
  else
    rm -rf "$tmp"
    echo "insserv could not be unpacked: its tests will be skipped" >&2
  fi
}
