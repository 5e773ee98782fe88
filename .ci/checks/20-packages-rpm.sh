# Builds the three RPM packages as ./dev.sh rpm does (rpmlint included),
# checks their files, requirements, scriptlets and tags, installs them into
# a scratch root with rpm and checks where every file landed.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}" rpm binutils cpio
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
build=$work/build dist=$work/rpm

packaging/build.sh rpm "$build" "$dist"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
major=${version%%.*}
vr=$version-1
runtime=$dist/serviceapp-$vr.x86_64.rpm
devel=$dist/serviceapp-devel-$vr.x86_64.rpm
standin=$dist/lumlib-standin-$vr.x86_64.rpm
for r in "$runtime" "$devel" "$standin"; do [ -f "$r" ] || fail "no $(basename "$r") in: $(ls "$dist")"; done

# q RPM ARGS...: rpm's answer for a package file, the Debian host's notice dropped.
q() { local r=$1; shift; rpm -qp "$@" "$r" 2> /dev/null; }
# expect RPM WHAT EXPECTED: one listing, exactly.
expect() {
  [ "$2" = "$3" ] || { diff -u <(echo "$3") <(echo "$2") >&2; fail "$(basename "$1"): unexpected $4"; }
}

# Files: libraries in /usr/lib64, the licence of each package as %license.
lib=/usr/lib64
expect "$runtime" "$(q "$runtime" -l)" "$lib/libserviceapp.so.$major
$lib/libserviceapp.so.$major.0.0
/usr/share/licenses/serviceapp
/usr/share/licenses/serviceapp/LICENSE" files
expect "$devel" "$(q "$devel" -l)" "/usr/include/serviceapp
/usr/include/serviceapp/BaseServiceApp.h
/usr/include/serviceapp/LUMServiceApp.h
/usr/include/serviceapp/ServiceApp.h
/usr/include/serviceapp/ServiceAppExport.h
/usr/include/serviceapp/ServiceRuntime.h
/usr/include/serviceapp/UnixServiceApp.h
$lib/cmake/ServiceApp
$lib/cmake/ServiceApp/ServiceAppConfig.cmake
$lib/cmake/ServiceApp/ServiceAppConfigVersion.cmake
$lib/cmake/ServiceApp/ServiceAppTargets-relwithdebinfo.cmake
$lib/cmake/ServiceApp/ServiceAppTargets.cmake
$lib/libserviceapp.so
$lib/pkgconfig/serviceapp.pc
/usr/share/licenses/serviceapp-devel
/usr/share/licenses/serviceapp-devel/LICENSE" files
expect "$standin" "$(q "$standin" -l)" "$lib/libLumLib.so
/usr/share/licenses/lumlib-standin
/usr/share/licenses/lumlib-standin/LICENSE" files
for r in "$runtime" "$devel" "$standin"; do
  name=$(q "$r" --qf '%{NAME}')
  expect "$r" "$(q "$r" -L)" "/usr/share/licenses/$name/LICENSE" "licence files"
  # Tags: no CPack defaults left, and the same version and release everywhere.
  expect "$r" "$(q "$r" --qf '%{VERSION}-%{RELEASE} %{LICENSE} %{PACKAGER}')" \
    "$vr MIT serviceapp maintainers <maintainers@serviceapp.invalid>" "version, licence or packager"
  summary=$(q "$r" --qf '%{SUMMARY}') description=$(q "$r" --qf '%{DESCRIPTION}')
  [[ $summary =~ ^[A-Z] && ${#description} -gt 60 && $description != *"DESCRIPTION"* ]] ||
    fail "$name: summary '$summary' or description '$description' is not a real one"
done
# Libraries executable, as those families install them; the SONAME link and
# the development link point where they should.
q "$runtime" -lv > "$work/list"
grep -Eq "^-rwxr-xr-x .* $lib/libserviceapp\.so\.$major\.0\.0$" "$work/list" || fail "libserviceapp is not installed executable"
grep -Eq " $lib/libserviceapp\.so\.$major -> libserviceapp\.so\.$major\.0\.0$" "$work/list" || fail "SONAME link"
grep -Eq '^-rwxr-xr-x .* /usr/lib64/libLumLib\.so$' <<< "$(q "$standin" -lv)" || fail "libLumLib.so is not installed executable"
grep -Eq " $lib/libserviceapp\.so -> libserviceapp\.so\.$major$" <<< "$(q "$devel" -lv)" || fail "development link"

# Requirements: the stand-in through a name the real platform package also
# provides; the development package on the runtime of the same version.
q "$runtime" -R > "$work/requires"
for need in 'lumlib(x86-64)' 'libLumLib.so()(64bit)' 'libc.so.6()(64bit)' 'libstdc++.so.6()(64bit)'; do
  grep -qxF "$need" "$work/requires" || fail "serviceapp does not require $need"
done
grep -qxF "serviceapp(x86-64) = $vr" <<< "$(q "$devel" -R)" || fail "serviceapp-devel does not require serviceapp = $vr"
q "$standin" --provides > "$work/provides"
for have in 'lumlib(x86-64)' 'libLumLib.so()(64bit)'; do
  grep -qxF "$have" "$work/provides" || fail "lumlib-standin does not provide $have"
done
expect "$standin" "$(q "$standin" --conflicts)" lumlib conflicts
grep -qxF "libserviceapp.so.$major()(64bit)" <<< "$(q "$runtime" --provides)" || fail "serviceapp does not provide its SONAME"
grep -qxF "pkgconfig(serviceapp) = $version" <<< "$(q "$devel" --provides)" || fail "serviceapp-devel does not provide pkgconfig(serviceapp)"

# Scriptlets: ldconfig after install and removal of the two libraries, nothing else.
for r in "$runtime" "$standin"; do
  expect "$r" "$(q "$r" --qf '[%{POSTIN}]|[%{POSTINPROG}]|[%{POSTUN}]|[%{POSTUNPROG}]|%{PREIN}|%{PREUN}' | tr -d '\n')" \
    "/sbin/ldconfig|/bin/sh|/sbin/ldconfig|/bin/sh|(none)|(none)" scriptlets
done
expect "$devel" "$(q "$devel" --scripts)" "" scriptlets

# The library itself: the platform layout's run path and both hash sections;
# the pkg-config file with literal paths into /usr/lib64.
mkdir "$work/x"
for r in "$runtime" "$devel"; do rpm2cpio "$r" | (cd "$work/x" && cpio -id --quiet); done
so=$(echo "$work/x$lib/libserviceapp.so.$major".*.*)
grep -qF 'Library runpath: [$ORIGIN:$ORIGIN/../Base64]' <<< "$(readelf -d "$so")" || fail "run path: $(readelf -d "$so" | grep -i path)"
sections=$(readelf -SW "$so")
grep -q ' \.hash ' <<< "$sections" && grep -q ' \.gnu\.hash ' <<< "$sections" || fail "libserviceapp lacks a hash section"
pc=$work/x$lib/pkgconfig/serviceapp.pc
grep -qx 'prefix=/usr' "$pc" && grep -qxF 'libdir=${prefix}/lib64' "$pc" || fail "serviceapp.pc does not name /usr/lib64: $(cat "$pc")"

# Into a scratch root: every file where the Red Hat and SuSE families look,
# intact. --nodeps: the root holds no C library package; --noscripts: nor a shell.
root=$work/root
rpm --root "$root" --dbpath /var/lib/rpm --initdb
rpm -i --root "$root" --dbpath /var/lib/rpm --nodeps --noscripts "$runtime" "$devel" "$standin" 2> "$work/rpm.log" ||
  { cat "$work/rpm.log" >&2; fail "rpm -i failed"; }
(cd "$root" && find . ! -type d ! -path './var/lib/rpm/*' | sed 's|^\.||' | sort) > "$work/landed"
for r in "$runtime" "$devel" "$standin"; do q "$r" --qf '[%{FILEMODES:perms} %{FILENAMES}\n]'; done |
  awk '$1 !~ /^d/ { print $2 }' | sort > "$work/packaged"
diff -u "$work/packaged" "$work/landed" >&2 || fail "files landed elsewhere than the packages list"
rpm -Va --root "$root" --dbpath /var/lib/rpm --nodeps --noscripts > "$work/verify" 2>&1 || { cat "$work/verify" >&2; fail "installed files differ from the packages"; }
expect "$root" "$(rpm -qa --root "$root" --dbpath /var/lib/rpm --qf '%{NAME}\n' 2> /dev/null | sort)" "lumlib-standin
serviceapp
serviceapp-devel" "installed packages"

# The oldest C and C++ libraries the packages run with, from the symbol
# versions the binaries need, as the README states them.
glibc=$(for r in "$runtime" "$standin"; do q "$r" -R; done | sed -n 's/^libc\.so\.6(GLIBC_\([0-9.]*\))(64bit)$/\1/p' | sort -V | tail -n1)
glibcxx=$(for r in "$runtime" "$standin"; do q "$r" -R; done | sed -n 's/^libstdc++\.so\.6(GLIBCXX_\([0-9.]*\))(64bit)$/\1/p' | sort -V | tail -n1)
grep -q "glibc $glibc or newer" README.md || fail "README does not state 'glibc $glibc or newer' (measured)"
grep -q "GLIBCXX_$glibcxx" README.md || fail "README does not state GLIBCXX_$glibcxx (measured)"
echo "needs glibc $glibc, libstdc++ GLIBCXX_$glibcxx"
echo "RPM packages ok"
