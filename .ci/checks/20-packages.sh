# Builds the three Debian packages with cpack, checks their contents and
# control fields, then unpacks them into a throwaway root and builds and runs
# a client against that root (pkg-config and find_package).
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}" dpkg-dev binutils file
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

build=$work/build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DSERVICEAPP_WERROR=ON -DSERVICEAPP_BUILD_TESTS=OFF -DSERVICEAPP_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
(cd "$build" && cpack -G DEB > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
major=${version%%.*}
arch=$(dpkg --print-architecture)
runtime=$build/libserviceapp${major}_${version}_$arch.deb
dev=$build/libserviceapp-dev_${version}_$arch.deb
standin=$build/liblumlib-standin_${version}_$arch.deb
for deb in "$runtime" "$dev" "$standin"; do [ -f "$deb" ] || fail "cpack made no $(basename "$deb")"; done
[ "$(ls "$build"/*.deb | wc -l)" = 3 ] || fail "expected three packages: $(ls "$build"/*.deb)"

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
lib='/usr/lib(/[a-z0-9_-]+-linux-gnu)?'
expect_files "$runtime" "$lib/libserviceapp\.so\.$major" "$lib/libserviceapp\.so\.$major\.[0-9.]+"
expect_files "$dev" "$lib/libserviceapp\.so" "$lib/pkgconfig/serviceapp\.pc" \
  "/usr/include/serviceapp/(BaseServiceApp|UnixServiceApp|ServiceApp|LUMServiceApp|ServiceAppExport)\.h" \
  "/usr/include/serviceapp/BaseServiceApp\.h" "/usr/include/serviceapp/UnixServiceApp\.h" \
  "/usr/include/serviceapp/ServiceApp\.h" "/usr/include/serviceapp/LUMServiceApp\.h" \
  "$lib/cmake/ServiceApp/ServiceApp(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake" \
  "$lib/cmake/ServiceApp/ServiceAppConfig\.cmake" "$lib/cmake/ServiceApp/ServiceAppTargets\.cmake"
expect_files "$standin" "$lib/libLumLib\.so"

# Everything `cmake --install` puts down is in exactly one package.
DESTDIR=$work/all cmake --install "$build" >/dev/null
(cd "$work/all" && find . ! -type d | sed 's|^\.||' | sort) > "$work/installed"
for deb in "$runtime" "$dev" "$standin"; do files "$deb"; done | sort > "$work/packaged"
diff -u "$work/installed" "$work/packaged" >&2 || fail "installed files and package contents differ (an install rule outside the runtime, development and lumlib components?)"

# field DEB NAME: a control field.
field() { dpkg-deb -f "$1" "$2"; }
maintainer='serviceapp maintainers <maintainers@serviceapp.invalid>'
for deb in "$runtime" "$dev" "$standin"; do
  [ "$(field "$deb" Maintainer)" = "$maintainer" ] || fail "$(basename "$deb"): Maintainer is '$(field "$deb" Maintainer)'"
  [ "$(field "$deb" Version)" = "$version" ] || fail "$(basename "$deb"): Version is '$(field "$deb" Version)'"
  [ -n "$(field "$deb" Description)" ] || fail "$(basename "$deb") has no description"
done
field "$runtime" Depends | grep -Eq '(^|, )liblumlib-standin \| liblumlib(,|$)' ||
  fail "runtime package must depend on 'liblumlib-standin | liblumlib': $(field "$runtime" Depends)"
field "$runtime" Depends | grep -q 'libc6' || fail "runtime package lacks its C library dependency"
field "$dev" Depends | grep -Eq "(^|, )libserviceapp$major \(= $version\)(,|$)" ||
  fail "development package must depend on libserviceapp$major (= $version): $(field "$dev" Depends)"
[ "$(dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./shlibs)" = "libserviceapp $major libserviceapp$major (>= $version)" ] ||
  fail "runtime package lacks its shlibs entry"
[ "$(field "$standin" Conflicts)" = liblumlib ] || fail "stand-in must conflict with the real liblumlib"
# The dependencies resolve on this host with the three packages together.
apt-get install -s -qq "$runtime" "$dev" "$standin" >/dev/null || fail "the three packages do not install together"

# Unpacked together, the packages let a client build and run.
root=$work/root
for deb in "$runtime" "$dev" "$standin"; do dpkg-deb -x "$deb" "$root"; done
libdir=$(dirname "$(find "$root" -name 'libserviceapp.so' | head -n1)")
bash tests/BuildStamp_test.sh "$libdir/libserviceapp.so.$major".*.* "$version" cmake/BuildStamp.cmake >/dev/null ||
  fail "the packaged library lost its build stamp"
PKG_CONFIG_PATH=$libdir/pkgconfig g++ -std=c++17 -Wall -Wextra -Werror -o "$work/client-pc" \
  .ci/client/client.cpp $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs serviceapp)
LD_LIBRARY_PATH=$libdir "$work/client-pc" | grep -qx 'client ok' || fail "pkg-config client did not run"
cmake -S .ci/client -B "$work/client-build" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/client-build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/client-build/client" | grep -qx 'client ok' || fail "find_package client did not run"
for deb in "$runtime" "$dev" "$standin"; do echo "$(basename "$deb"): $(files "$deb" | wc -l) files"; done
echo "packages ok; a client builds and runs against them"
