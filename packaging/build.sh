#!/usr/bin/env bash
# Builds one family's three packages from a package build and checks them with that family's linter.
# SPDX-License-Identifier: MIT
#   packaging/build.sh deb|rpm [BUILD_DIR [OUT_DIR]]
# BUILD_DIR defaults to build-deb/ or build-rpm/, OUT_DIR to dist/deb/ or
# dist/rpm/ (its older packages of the family removed first). Installs the
# tools it lacks.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh
family=${1:-}
case $family in
  deb) generator=DEB linter=lintian ;;
  rpm) generator=RPM linter="rpm rpmlint" ;;
  *) echo "usage: packaging/build.sh deb|rpm [BUILD_DIR [OUT_DIR]]" >&2; exit 2 ;;
esac
build=$(realpath -m "${2:-build-$family}") out=${3:-dist/$family}
fail() { echo "FAIL: $*" >&2; exit 1; }
# shellcheck disable=SC2086 # linter names one or two packages
ensure_packages cmake g++ make dpkg-dev file binutils $linter

# A fresh configuration: the package build sets its own build type, flags and
# paths, and nothing a caller left in the environment or the cache counts.
rm -f "$build/CMakeCache.txt"
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
# Warnings are errors here too: fortification and optimisation find some
# that the ordinary builds do not.
cmake -S . -B "$build" -DSERVICEAPP_PACKAGE=$generator -DSERVICEAPP_WERROR=ON >/dev/null
cmake --build "$build" -j2 > "$build/build.log" 2>&1 || { cat "$build/build.log" >&2; fail "build failed"; }
rm -rf "$build/packages"
(cd "$build" && cpack -G $generator -B "$build/packages" > "$build/cpack.log" 2>&1) ||
  { cat "$build/cpack.log" >&2; fail "cpack -G $generator failed"; }
mkdir -p "$out"
rm -f "$out"/*."$family"
cp "$build/packages/"*."$family" "$out/"
[ "$(find "$out" -name "*.$family" | wc -l)" = 3 ] || fail "expected three packages: $(ls "$out")"
ls -l "$out"

if [ "$family" = deb ]; then
  # Errors and warnings fail; info and pedantic tags are shown, and so are the
  # overridden tags (O:) with the reason each override ships with. Lintian
  # counts overridden tags when it fails on its own, hence the reading.
  log=$build/lintian.log
  lintian --fail-on none --pedantic --display-info --show-overrides "$out"/*.deb > "$log" 2>&1 ||
    { cat "$log" >&2; fail "lintian did not run"; }
  grep -v '^running with root privileges' "$log" || true
  ! grep -Eq '^[EW]: ' "$log" || fail "lintian found errors or warnings"
  echo "lintian: no errors or warnings"
else
  # rpmlint's errors, less those the design forces:
  #   invalid-soname    libLumLib.so: the platform library's SONAME has no version
  #   binary-or-shlib-defines-rpath  $ORIGIN/../Base64, where the platform layout keeps libLumLib.so
  #   no-signature      the build is unsigned; signing belongs to whoever distributes it
  #   non-versioned-file-in-library-package  the %license file in /usr/share/licenses/NAME:
  #                     SuSE's library policy exempts that directory, this rpmlint's check does not
  forced=(-e ' E: invalid-soname /usr/lib64/libLumLib\.so libLumLib\.so$'
          -e ' E: binary-or-shlib-defines-rpath /usr/lib64/libserviceapp\.so\.[0-9.]+ \(RUNPATH: \$ORIGIN:\$ORIGIN/\.\./Base64\)$'
          -e ' E: no-signature$'
          -e ' E: non-versioned-file-in-library-package /usr/share/licenses/(serviceapp|lumlib-standin)(/LICENSE)?$')
  log=$build/rpmlint.log
  rpmlint "$out"/*.rpm > "$log" 2>&1 || true
  cat "$log"
  grep -Eq '^ *3 packages and 0 specfiles checked' "$log" || fail "rpmlint did not finish"
  unexpected=$(grep ': E: ' "$log" | grep -Ev "${forced[@]}" || true)
  [ -z "$unexpected" ] || fail "rpmlint errors beyond the forced ones:
$unexpected"
  echo "rpmlint: no errors but the forced ones"
fi
echo "packages in $out"
