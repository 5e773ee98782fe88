# The release tarball, then the Debian packages built from it by
# dpkg-buildpackage as ./dev.sh deb does (lintian included): their contents,
# control files, debug symbols and build flags; installed with dpkg into a
# throwaway root, where clients are built and run (pkg-config, find_package);
# built again elsewhere under umask 002, another time zone and locale, and
# compared byte for byte; and once with DEB_BUILD_OPTIONS noopt and nostrip.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
fail() { echo "FAIL: $*" >&2; exit 1; }

# In a private mount namespace (see below): overlays over /usr, /etc and /var
# make a throwaway copy of this system, where dpkg installs for real.
if [ "${1:-}" = --in-root ]; then
  work=$2 deb_dir=$3 major=$4
  mount -t tmpfs tmpfs "$work/ovl"
  for d in usr etc var; do
    mkdir -p "$work/ovl/$d/upper" "$work/ovl/$d/work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$work/ovl/$d/upper,workdir=$work/ovl/$d/work" "/$d"
  done
  dpkg -i "$deb_dir"/*.deb > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }
  for p in "libserviceapp$major" libserviceapp-dev liblumlib-standin "libserviceapp$major-dbgsym" liblumlib-standin-dbgsym; do
    [ "$(dpkg-query -W -f='${Status}' "$p")" = "install ok installed" ] || fail "$p is not installed"
  done
  # The trigger ran ldconfig: the loader finds the library without a path.
  grep -q "libserviceapp.so.$major " <<< "$(ldconfig -p)" || fail "the ldconfig trigger did not run"
  # Literal paths, so pkg-config drops the system library directory.
  pc=$(pkg-config --cflags --libs serviceapp)
  [ "${pc% }" = "-I/usr/include/serviceapp -lserviceapp" ] || fail "pkg-config gives: $pc"
  # shellcheck disable=SC2086 # the flags are words
  g++ -std=c++17 -Wall -Wextra -Werror -o "$work/client-pc" .ci/client/client.cpp $pc
  [ "$("$work/client-pc")" = 'client ok' ] || fail "pkg-config client did not run"
  cmake -S .ci/client -B "$work/client-build" > /dev/null
  cmake --build "$work/client-build" > /dev/null
  [ "$("$work/client-build/client")" = 'client ok' ] || fail "find_package client did not run"
  LUM_RUNTIME_DIR=$work/run LUM_CONFIG=$work/lum.conf LUM_DEBUG_LOG=$work/debug.log \
      "$work/client-build/lumclient" -console -once > "$work/lumclient.out" && grep -q '^running in ' "$work/lumclient.out" || fail "platform client did not run"
  # gdb's way to the debug symbols: the build ID's file under /usr/lib/debug.
  id=$(readelf -n /usr/lib/*/"libserviceapp.so.$major" | sed -n 's/.*Build ID: //p')
  [ -f "/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] || fail "no debug symbols installed for build ID $id"
  dpkg --purge "libserviceapp$major-dbgsym" liblumlib-standin-dbgsym "libserviceapp$major" libserviceapp-dev liblumlib-standin > "$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg --purge failed"; }
  ! grep -q 'libserviceapp\|libLumLib' <<< "$(ldconfig -p)" || fail "the loader cache still lists the libraries after purge"
  ! ls /usr/lib/*/libserviceapp* /usr/lib/*/libLumLib.so /usr/include/serviceapp /usr/share/doc/libserviceapp1 \
    2> /dev/null || fail "files left after purge"
  echo "installed with dpkg, clients built and run, purged"
  exit 0
fi

ensure_packages "${BASE_PACKAGES[@]}" dpkg-dev debhelper lintian binutils file util-linux
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$work/build dist=$work/deb

# The release tarball: the committed tree, the same bytes twice, with the news
# and both families' packaging.
version=$(sed -n 's/^project(serviceapp VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
tarball=$(packaging/dist.sh "$work/t1" | tail -n1)
[ "$tarball" = "$work/t1/serviceapp-$version.tar.gz" ] || fail "dist.sh made $tarball"
cmp "$tarball" "$(cd / && TZ=Asia/Tokyo "$OLDPWD/packaging/dist.sh" "$work/t2" | tail -n1)" || fail "two tarballs of one commit differ"
tar -tzf "$tarball" > "$work/tarball.list"
for f in NEWS LICENSE CMakeLists.txt packaging/debian/control packaging/debian/rules packaging/rpm/serviceapp.rpmbuild; do
  grep -qx "serviceapp-$version/$f" "$work/tarball.list" || fail "the tarball lacks $f"
done
[ "$(git ls-files | wc -l)" = "$(grep -vc '/$' "$work/tarball.list")" ] || fail "the tarball and git ls-files differ in count"
# One version everywhere: CMakeLists.txt, NEWS, both changelogs and the RPM recipe.
grep -q "^$version\$" NEWS || fail "NEWS has no entry for $version"
recipe=packaging/rpm/serviceapp.rpmbuild
release=$(sed -n 's/^Release: *\([0-9]*\).*/\1/p' "$recipe")
[ "$(sed -n 's/^Version: *//p' "$recipe")" = "$version" ] || fail "the RPM recipe's Version is not $version"
[ "$(dpkg-parsechangelog -l packaging/debian/changelog -SVersion)" = "$version-$release" ] ||
  fail "packaging/debian/changelog's newest entry is not $version-$release"
grep -q " - $version-$release\$" <<< "$(sed -n '/^%changelog/{n;p;q}' "$recipe")" || fail "the RPM recipe's newest %changelog entry is not $version-$release"

# The caller's flags count: dh passes dpkg-buildflags' (hardening=+all) and
# DEB_CXXFLAGS_APPEND on to every compile.
DEB_CXXFLAGS_APPEND=-fno-omit-frame-pointer packaging/build.sh deb "$build" "$dist"
compiles=$(grep -E '^[^ ]*c\+\+ .* -c [^ ]*/src/core/BaseServiceApp\.cpp$' "$build/build.log")
for flag in -O2 -D_FORTIFY_SOURCE=2 -fstack-protector-strong -ffile-prefix-map= -fno-omit-frame-pointer; do
  [[ " $compiles" == *" $flag"* ]] || fail "the library was compiled without $flag: $compiles"
done
grep -q 'tests passed' "$build/build.log" || fail "dh_auto_test ran no tests"
grep -q '^skipped in this build, with the reasons:' "$build/build.log" || fail "dh_auto_test printed no skip summary"

major=${version%%.*}
arch=$(dpkg --print-architecture)
runtime=$dist/libserviceapp${major}_${version}-1_$arch.deb
dev=$dist/libserviceapp-dev_${version}-1_$arch.deb
standin=$dist/liblumlib-standin_${version}-1_$arch.deb
for deb in "$runtime" "$dev" "$standin"; do [ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$dist")"; done

# files DEB: the files and links a package holds, one path per line.
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' | sort; }
# expect_files DEB REGEX...: every file matches one REGEX and every REGEX matches a file.
expect_files() {
  local deb=$1 re f
  shift
  files "$deb" > "$work/list"
  while read -r f; do
    for re in "$@"; do [[ $f =~ ^$re$ ]] && continue 2; done
    fail "$(basename "$deb") holds unexpected $f"
  done < "$work/list"
  for re in "$@"; do
    grep -Eqx "$re" "$work/list" || fail "$(basename "$deb") lacks $re"
  done
}
lib=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# doc PACKAGE: the copyright and changelog every package has.
doc() { echo "/usr/share/doc/$1/copyright" "/usr/share/doc/$1/changelog\.Debian\.gz"; }
# shellcheck disable=SC2046 # doc gives several patterns
expect_files "$runtime" "$lib/libserviceapp\.so\.$major" "$lib/libserviceapp\.so\.$major\.[0-9.]+" $(doc "libserviceapp$major")
# shellcheck disable=SC2046
expect_files "$dev" "$lib/libserviceapp\.so" "$lib/pkgconfig/serviceapp\.pc" $(doc libserviceapp-dev) \
  "/usr/include/serviceapp/(BaseServiceApp|UnixServiceApp|ServiceApp|LUMServiceApp|ServiceAppExport|ServiceRuntime)\.h" \
  "/usr/include/serviceapp/BaseServiceApp\.h" "/usr/include/serviceapp/UnixServiceApp\.h" \
  "/usr/include/serviceapp/ServiceApp\.h" "/usr/include/serviceapp/LUMServiceApp\.h" \
  "/usr/include/serviceapp/ServiceRuntime\.h" \
  "$lib/cmake/ServiceApp/ServiceApp(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake" \
  "$lib/cmake/ServiceApp/ServiceAppConfig\.cmake" "$lib/cmake/ServiceApp/ServiceAppTargets\.cmake"
# shellcheck disable=SC2046
expect_files "$standin" "$lib/libLumLib\.so" $(doc liblumlib-standin) /usr/share/lintian/overrides/liblumlib-standin
# The debug symbols, by build ID, of exactly the two libraries.
for pkg in "libserviceapp$major" liblumlib-standin; do
  dbg=$dist/$pkg-dbgsym_${version}-1_$arch.deb
  expect_files "$dbg" '/usr/lib/debug/\.build-id/[0-9a-f]{2}/[0-9a-f]{38}\.debug' "/usr/share/doc/$pkg-dbgsym"
  id=$(readelf -n "$(dpkg-deb -x "${dbg/-dbgsym/}" "$work/x-$pkg" && find "$work/x-$pkg" -name 'lib*.so*' -type f)" | sed -n 's/.*Build ID: //p')
  grep -q "/${id:0:2}/${id:2}\.debug$" <<< "$(files "$dbg")" || fail "$pkg-dbgsym holds no debug file for build ID $id"
done
# Everything the build installs is in exactly one package: dh_missing (in
# compat 13) fails the build otherwise, and no package holds a file twice.
for deb in "$runtime" "$dev" "$standin"; do files "$deb"; done | sort | uniq -d > "$work/twice"
[ ! -s "$work/twice" ] || fail "files in two packages: $(cat "$work/twice")"

# field DEB NAME: a control field. control DEB FILE: a control file's content.
field() { dpkg-deb -f "$1" "$2"; }
control() { dpkg-deb --ctrl-tarfile "$1" | tar -xO "./$2" 2> /dev/null; }
maintainer='serviceapp maintainers <maintainers@serviceapp.invalid>'
for deb in "$runtime" "$dev" "$standin"; do
  name=$(basename "$deb")
  [ "$(field "$deb" Maintainer)" = "$maintainer" ] || fail "$name: Maintainer is '$(field "$deb" Maintainer)'"
  [ "$(field "$deb" Version)" = "$version-1" ] || fail "$name: Version is '$(field "$deb" Version)'"
  [ -n "$(field "$deb" Description)" ] || fail "$name has no description"
  for script in preinst postinst prerm postrm; do
    [ -z "$(control "$deb" $script)" ] || fail "$name has a $script (ldconfig runs through the trigger)"
  done
  dpkg-deb --fsys-tarfile "$deb" | tar -xO --wildcards './usr/share/doc/*/copyright' > "$work/copyright"
  grep -q '^Format: .*copyright-format/1.0/$' <<< "$(head -n1 "$work/copyright")" || fail "$name: copyright is not machine-readable"
  grep -qx 'License: MIT' "$work/copyright" || fail "$name: copyright names no MIT licence"
  grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' LICENSE)" "$work/copyright" || fail "$name: copyright holder differs from LICENSE"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO --wildcards './usr/share/doc/*/changelog.Debian.gz' | gzip -dc > "$work/changelog"
  grep -q "^serviceapp ($version-1) " <<< "$(head -n1 "$work/changelog")" || fail "$name: changelog.Debian.gz has no entry for $version-1"
done
for deb in "$runtime" "$dev" "$standin"; do
  [ "$(field "$deb" Multi-Arch)" = same ] || fail "$(basename "$deb"): Multi-Arch is '$(field "$deb" Multi-Arch)'"
done
for deb in "$runtime" "$standin"; do
  [ "$(control "$deb" triggers | grep -v '^#')" = "activate-noawait ldconfig" ] || fail "$(basename "$deb") lacks the ldconfig trigger"
done
grep -Eq '(^|, )liblumlib-standin \| liblumlib(,|$)' <<< "$(field "$runtime" Depends)" ||
  fail "runtime package must depend on 'liblumlib-standin | liblumlib': $(field "$runtime" Depends)"
grep -q 'libc6' <<< "$(field "$runtime" Depends)" || fail "runtime package lacks its C library dependency"
grep -Eq "(^|, )libserviceapp$major \(= $version-1\)(,|$)" <<< "$(field "$dev" Depends)" ||
  fail "development package must depend on libserviceapp$major (= $version-1): $(field "$dev" Depends)"
[ "$(control "$runtime" shlibs)" = "libserviceapp $major libserviceapp$major (>= $version)" ] ||
  fail "runtime package's shlibs entry: $(control "$runtime" shlibs)"
[ "$(field "$standin" Conflicts)" = liblumlib ] || fail "stand-in must conflict with the real liblumlib"

# The symbols file lists exactly what the packaged library exports, each
# with an upstream version no later than this one.
root=$work/root
for deb in "$runtime" "$dev" "$standin"; do dpkg-deb -x "$deb" "$root"; done
so=$(echo "$root$lib/libserviceapp.so.$major".*.*)
control "$runtime" symbols > "$work/symbols"
grep -qx "libserviceapp.so.$major libserviceapp$major #MINVER#" <<< "$(head -n1 "$work/symbols")" || fail "symbols file header: $(head -n1 "$work/symbols")"
grep -qx '\* Build-Depends-Package: libserviceapp-dev' "$work/symbols" || fail "symbols file lacks Build-Depends-Package"
sed -n 's/^ \([^@ ]*\)@Base \([0-9][0-9.]*\)$/\1 \2/p' "$work/symbols" > "$work/since"
[ "$(wc -l < "$work/since")" = "$(grep -c '^ ' "$work/symbols")" ] || fail "malformed symbol lines in the symbols file"
for v in $(cut -d' ' -f2 "$work/since" | sort -u); do
  dpkg --compare-versions "$v" le "$version" || fail "a symbol dates from $v, after $version"
done
readelf --dyn-syms -W "$so" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $8 != "" { print $8 }' |
  LC_ALL=C sort > "$work/exported"
cut -d' ' -f1 "$work/since" | LC_ALL=C sort | diff -u - "$work/exported" >&2 || fail "symbols file and the packaged library's exports differ"

# Hardened: fortified calls, stack protector, full RELRO, bound at load.
grep -q '__[a-z_]*_chk' <<< "$(readelf --dyn-syms -W "$so")" || fail "the packaged library calls no fortified function"
grep -q 'BIND_NOW\|FLAGS.*NOW' <<< "$(readelf -d "$so")" || fail "the packaged library is not bound at load"
grep -q GNU_RELRO <<< "$(readelf -lW "$so")" || fail "the packaged library has no RELRO segment"
bash tests/BuildStamp_test.sh "$so" "$version" cmake/BuildStamp.cmake > /dev/null || fail "the packaged library lost its build stamp"
# The stamp and every file's time are SOURCE_DATE_EPOCH, the last commit's time.
epoch=$(git log -1 --format=%ct)
grep -qF "$version $(TZ=UTC date -d "@$epoch" '+%m/%d/%y %H:%M:%S')" <<< "$(readelf -p LumVersion "$so")" ||
  fail "the build stamp is not the last commit's time: $(readelf -p LumVersion "$so")"
[ "$(TZ=UTC dpkg-deb -c "$runtime" | awk '{ print $4 " " $5 }' | sort -u)" = "$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M')" ] ||
  fail "file times in $(basename "$runtime") are not the last commit's"

# Installed for real with dpkg into a throwaway root.
if unshare --mount --propagation private true 2> /dev/null; then
  mkdir -p "$work/ovl"
  unshare --mount --propagation private bash "$0" --in-root "$work" "$dist" "$major"
elif [ "${CI:-}" = true ]; then
  fail "CI needs a private mount namespace (root) to install the packages into a throwaway root"
else
  echo "SKIP: installing with dpkg into a throwaway root needs root (a private mount namespace)"
fi
for deb in "$runtime" "$dev" "$standin"; do echo "$(basename "$deb"): $(files "$deb" | wc -l) files"; done

# Reproducible: built again in another, deeper directory, under umask 002,
# in another time zone and locale, without the tests (DEB_BUILD_OPTIONS=nocheck,
# which must leave the packages as they were), every .deb is the same.
rebuild_identical deb "$dist" "$work" DEB_BUILD_OPTIONS=nocheck DEB_CXXFLAGS_APPEND=-fno-omit-frame-pointer

# DEB_BUILD_OPTIONS noopt and nostrip: -O0, and libraries left with their symbols (no -dbgsym).
DEB_BUILD_OPTIONS="nocheck noopt nostrip" packaging/build.sh deb "$work/noopt" "$work/noopt-deb" > "$work/noopt.log" 2>&1 ||
  { cat "$work/noopt.log" >&2; fail "the noopt nostrip build failed"; }
grep -Eq '^[^ ]*c\+\+ .* -O0 .* -c [^ ]*/src/core/BaseServiceApp\.cpp$' "$work/noopt/build.log" || fail "noopt: the library was not compiled with -O0"
[ -z "$(find "$work/noopt-deb" -name '*-dbgsym_*')" ] || fail "nostrip: -dbgsym packages were made"
dpkg-deb -x "$work/noopt-deb/libserviceapp${major}_${version}-1_$arch.deb" "$work/noopt-root"
grep -q '\.debug_info' <<< "$(readelf -S "$work/noopt-root$lib/libserviceapp.so.$major".*.*)" || fail "nostrip: the library was stripped"
echo "Debian packages ok"
