# Builds the three Debian packages as ./dev.sh deb does (lintian included),
# checks their contents, control files and build flags, then installs them
# with dpkg into a throwaway root and builds and runs clients there
# (pkg-config and find_package).
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
  for p in "libserviceapp$major" libserviceapp-dev liblumlib-standin; do
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
  dpkg --purge "libserviceapp$major" libserviceapp-dev liblumlib-standin > "$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg --purge failed"; }
  ! grep -q 'libserviceapp\|libLumLib' <<< "$(ldconfig -p)" || fail "the loader cache still lists the libraries after purge"
  ! ls /usr/lib/*/libserviceapp* /usr/lib/*/libLumLib.so /usr/include/serviceapp /usr/share/doc/libserviceapp1 \
    2> /dev/null || fail "files left after purge"
  echo "installed with dpkg, clients built and run, purged"
  exit 0
fi

ensure_packages "${BASE_PACKAGES[@]}" dpkg-dev binutils file util-linux
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$work/build dist=$work/deb

# What a caller sets counts for nothing: the package build sets its own flags.
CXXFLAGS=-O0 CPPFLAGS=-U_FORTIFY_SOURCE DEB_BUILD_OPTIONS=noopt DEB_CXXFLAGS_APPEND=-O0 \
  packaging/build.sh deb "$build" "$dist"
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
[ "$(cache CMAKE_BUILD_TYPE)" = RelWithDebInfo ] || fail "package build type: $(cache CMAKE_BUILD_TYPE)"
for flag in -D_FORTIFY_SOURCE= -fstack-protector-strong -O2; do
  [[ " $(cache CMAKE_CXX_FLAGS) " == *" $flag"* ]] || fail "package build lacks $flag: $(cache CMAKE_CXX_FLAGS)"
done
for flag in -O0 -U_FORTIFY_SOURCE; do
  [[ " $(cache CMAKE_CXX_FLAGS) " != *" $flag "* ]] || fail "the caller's $flag reached the package build"
done
# An explicit Debug build type and flags are overruled the same way.
cmake -S . -B "$work/override" -DSERVICEAPP_PACKAGE=DEB -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O0 > /dev/null
grep -qx 'CMAKE_BUILD_TYPE:STRING=RelWithDebInfo' "$work/override/CMakeCache.txt" || fail "package build kept Debug"
# cpack refuses an ordinary build.
cmake -S . -B "$work/plain" -DSERVICEAPP_BUILD_TESTS=OFF -DSERVICEAPP_BUILD_EXAMPLES=OFF > /dev/null
! (cd "$work/plain" && cpack -G DEB > "$work/plain.log" 2>&1) || fail "cpack packaged an ordinary build"
grep -q 'needs a build configured with -DSERVICEAPP_PACKAGE=DEB' "$work/plain.log" || fail "cpack refused without saying why"

version=$(cache CMAKE_PROJECT_VERSION)
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
# doc PACKAGE: the copyright, changelog and lintian overrides every package has.
doc() { echo "/usr/share/doc/$1/copyright" "/usr/share/doc/$1/changelog\.Debian\.gz" "/usr/share/lintian/overrides/$1"; }
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
expect_files "$standin" "$lib/libLumLib\.so" $(doc liblumlib-standin)

# Everything `cmake --install` puts down is in exactly one package.
DESTDIR=$work/all cmake --install "$build" > /dev/null
(cd "$work/all" && find . ! -type d | sed 's|^\.||' | sort) > "$work/installed"
for deb in "$runtime" "$dev" "$standin"; do files "$deb"; done | sort > "$work/packaged"
diff -u "$work/installed" "$work/packaged" >&2 || fail "installed files and package contents differ (an install rule outside the runtime, development and lumlib components?)"

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
for deb in "$runtime" "$standin"; do
  [ "$(field "$deb" Multi-Arch)" = same ] || fail "$(basename "$deb"): Multi-Arch is '$(field "$deb" Multi-Arch)'"
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
echo "Debian packages ok"
