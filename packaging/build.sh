#!/usr/bin/env bash
# Builds one family's packages with that family's own tools from the release
# tarball, as a distribution would, and checks them with the family's linter.
# SPDX-License-Identifier: MIT
#   packaging/build.sh deb|rpm [WORK_DIR [OUT_DIR]]
# WORK_DIR (default build-deb/ or build-rpm/) is emptied first; OUT_DIR
# (default dist/deb/ or dist/rpm/) gets the packages, its older ones of the
# family removed first. The tarball goes to OUT_DIR/.. (dist/ by default).
#   deb: packaging/debian as debian/ in the unpacked tarball, dpkg-buildpackage -us -uc
#        (binary packages, -dbgsym packages, the source package), then lintian
#   rpm: rpmbuild -ba packaging/rpm/serviceapp.rpmbuild (binary, -debuginfo,
#        -debugsource and source RPMs), then rpmlint
# The environment counts as for the tools themselves: DEB_BUILD_OPTIONS
# (nocheck, noopt, nostrip, parallel=N), DEB_*FLAGS_APPEND and the like;
# RPMBUILD_ARGS is passed to rpmbuild (--nocheck, --define ...).
# Compiler and linker warnings fail (SERVICEAPP_WERROR=OFF: only shown), read
# from the build log: -Werror itself (SERVICEAPP_WERROR=ON to the build) would
# stop at the three test lines named below. SOURCE_DATE_EPOCH defaults to the
# last commit's time, so two builds of a commit give the same bytes.
# Installs the tools it lacks.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh
family=${1:-}
case $family in
  deb | rpm) ;;
  *) echo "usage: packaging/build.sh deb|rpm [WORK_DIR [OUT_DIR]]" >&2; exit 2 ;;
esac
work=$(realpath -m "${2:-build-$family}") out=$(realpath -m "${3:-dist/$family}")
fail() { echo "FAIL: $*" >&2; exit 1; }
if [ "$family" = deb ]; then
  ensure_packages dpkg-dev debhelper lintian cmake g++ make pkg-config libgtest-dev libgmock-dev sysvinit-utils
else
  ensure_packages rpm rpmlint debugedit elfutils cpio cmake g++ make pkg-config libgtest-dev libgmock-dev sysvinit-utils
fi
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
werror=${SERVICEAPP_WERROR:-ON}
# skips LOG: the test run's closing list of skipped tests and their reasons.
skips() { awk '/^skipped in this build/ { p = 1; print; next } p && /^  / { print; next } p && !/^\+ / { p = 0 }' "$1"; }
# check_warnings LOG: fails on any compiler or linker warning.
check_warnings() {
  local all
  all=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: warning: |^[^ :]*(cc1plus|lto1|lto-wrapper|ld|collect2)[^ :]*: warning: ' "$1" | sort -u || true)
  [ -z "$all" ] || echo "$all"
  [ "$werror" = OFF ] && return 0
  [ -z "$all" ] || fail "warnings in the build (SERVICEAPP_WERROR=OFF to go on)"
  echo "warnings: none"
}

tarball=$(packaging/dist.sh "$(dirname "$out")" | tail -n1)
name=$(basename "$tarball" .tar.gz)  # serviceapp-VERSION
version=${name#serviceapp-}
rm -rf "$work"
mkdir -p "$work" "$out"
log=$work/build.log

if [ "$family" = deb ]; then
  cp "$tarball" "$work/serviceapp_$version.orig.tar.gz"
  tar -xzf "$tarball" -C "$work"
  cp -a "$work/$name/packaging/debian" "$work/$name/debian"
  (cd "$work/$name" && dpkg-buildpackage -us -uc -j"$(nproc)") > "$log" 2>&1 ||
    { tail -n 150 "$log" >&2; fail "dpkg-buildpackage failed (whole log: $log)"; }
  check_warnings "$log"
  rm -f "$out"/*.deb "$out"/serviceapp_*
  cp "$work"/*.deb "$work"/serviceapp_* "$out/"
  skips "$log"
  # Errors and warnings fail; info and pedantic tags are shown, and so are
  # overridden tags (O:) with the reason each override ships with. One tag is
  # suppressed here rather than overridden in the packages, where the override
  # would be unused from the second release on: initial-upload-closes-no-bugs,
  # about uploads to Debian's archive, which would close its ITP bug.
  # With DEB_BUILD_OPTIONS=nostrip the libraries are unstripped on purpose.
  suppress=initial-upload-closes-no-bugs
  [[ " ${DEB_BUILD_OPTIONS:-} " != *" nostrip "* ]] || suppress+=,unstripped-binary-or-object
  lintian --suppress-tags "$suppress" --fail-on none --pedantic --display-info --show-overrides "$out"/serviceapp_*.changes > "$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian did not run"; }
  grep -v '^running with root privileges' "$work/lintian.log" || true
  ! grep -Eq '^[EW]: ' "$work/lintian.log" || fail "lintian found errors or warnings"
  echo "lintian: no errors or warnings"
else
  # rpmbuild's tree has one fixed path, as in a distribution's builders
  # (Fedora's mock: /builddir/build): rpm records it in the source RPM's
  # expanded build recipe, and the binary packages name the source RPM's digest.
  # The lock keeps two builds on one host apart; WORK_DIR gets the logs.
  top=/var/tmp/serviceapp-rpmbuild
  exec 9> "$top.lock"
  flock 9
  rm -rf "$top"
  mkdir -p "$top/SOURCES"
  # The source RPM records the files' modes: the same whatever the umask.
  install -m 0644 "$tarball" "$top/SOURCES/"
  tar -xzf "$tarball" -C "$work" "$name/packaging/rpm"
  install -m 0644 "$work/$name/packaging/rpm/serviceapp.rpmbuild" "$top/"
  args=(--define "_topdir $top")
  if [ -e /etc/debian_version ]; then
    # Debian's rpm knows no build dependencies (apt installed them above) and
    # lacks Fedora's flags and debuginfo set-up, which this file adds.
    args+=(--nodeps --load "$work/$name/packaging/rpm/debian-host.macros")
  fi
  # shellcheck disable=SC2086 # RPMBUILD_ARGS is words
  rpmbuild "${args[@]}" ${RPMBUILD_ARGS:-} -ba "$top/serviceapp.rpmbuild" > "$log" 2>&1 ||
    { tail -n 150 "$log" >&2; fail "rpmbuild failed (whole log: $log)"; }
  check_warnings "$log"
  rm -f "$out"/*.rpm
  cp "$top"/RPMS/*/*.rpm "$top"/SRPMS/*.src.rpm "$out/"
  skips "$log"
  # rpmlint's errors, less those the design forces (each must still be
  # raised, or it goes from this list):
  #   invalid-soname    libLumLib.so: the platform library's SONAME has no version
  #   binary-or-shlib-defines-rpath  $ORIGIN/../Base64, where the platform layout keeps libLumLib.so
  #   no-signature      the build is unsigned; signing belongs to whoever distributes it
  #   no-binary         on -debugsource, which holds the sources for the debugger and nothing else
  #   non-versioned-file-in-library-package  the %license file in /usr/share/licenses/NAME:
  #                     SuSE's library policy exempts that directory, this rpmlint's check does not
  #   shared-library-without-dependency-information  on the .debug files of the
  #                     -debuginfo packages: debug sections only, never loaded
  #   no-...-file       on the source RPM, that it holds no recipe under the name
  #                     rpmlint looks for: the recipe is serviceapp.rpmbuild, which
  #                     rpm marks as the recipe by a file flag (rpm -qp --qf
  #                     '[%{FILENAMES} %{FILEFLAGS:fflags}\n]' shows "s"), so
  #                     rpmbuild --rebuild finds it
  forced=(' E: invalid-soname /usr/lib64/libLumLib\.so libLumLib\.so$'
          ' E: binary-or-shlib-defines-rpath /usr/lib64/libserviceapp\.so\.[0-9.]+ \(RUNPATH: \$ORIGIN:\$ORIGIN/\.\./Base64\)$'
          ' E: no-signature$'
          '^serviceapp-debugsource\.[^ ]+: E: no-binary$'
          ' E: non-versioned-file-in-library-package /usr/share/licenses/(serviceapp|lumlib-standin)(/LICENSE)?$'
          '^[a-z-]+-debuginfo\.[^ ]+: E: shared-library-without-dependency-information /usr/lib/debug/usr/lib64/[^ ]+\.debug$'
          '^serviceapp\.src: E: no-[a-z]+-file$')
  rpmlint "$out"/*.rpm > "$work/rpmlint.log" 2>&1 || true
  cat "$work/rpmlint.log"
  grep -Eq '^ *[0-9]+ packages and [0-9]+ [a-z]+ checked' "$work/rpmlint.log" || fail "rpmlint did not finish"
  unexpected=$(grep ': E: ' "$work/rpmlint.log" | grep -Ev "${forced[@]/#/-e}" || true)
  [ -z "$unexpected" ] || fail "rpmlint errors beyond the forced ones:
$unexpected"
  for re in "${forced[@]}"; do
    grep -Eq -e "$re" "$work/rpmlint.log" || fail "rpmlint no longer raises '$re': drop it from the forced errors"
  done
  echo "rpmlint: no errors but the forced ones"
fi
ls -l "$out"
echo "packages in $out"
