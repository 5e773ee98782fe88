# The RPMs built from the release tarball by rpmbuild -ba as ./dev.sh rpm does
# (rpmlint included), with Fedora's flags and the tests in %check: their
# files, debug packages, requirements, scriptlets and tags; installed into a
# scratch root with rpm; built again elsewhere under umask 002, another time
# zone and locale (--nocheck), and compared byte for byte.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}" rpm binutils cpio
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
build=$work/build dist=$work/rpm

packaging/build.sh rpm "$build" "$dist"
version=$(sed -n 's/^project(serviceapp VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
major=${version%%.*}
vr=$version-1
runtime=$dist/serviceapp-$vr.x86_64.rpm
devel=$dist/serviceapp-devel-$vr.x86_64.rpm
standin=$dist/lumlib-standin-$vr.x86_64.rpm
debuginfo=$dist/serviceapp-debuginfo-$vr.x86_64.rpm
standin_debuginfo=$dist/lumlib-standin-debuginfo-$vr.x86_64.rpm
debugsource=$dist/serviceapp-debugsource-$vr.x86_64.rpm
srpm=$dist/serviceapp-$vr.src.rpm
for r in "$runtime" "$devel" "$standin" "$debuginfo" "$standin_debuginfo" "$debugsource" "$srpm"; do [ -f "$r" ] || fail "no $(basename "$r") in: $(ls "$dist")"; done

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
$lib/cmake/ServiceApp/ServiceAppTargets-noconfig.cmake
$lib/cmake/ServiceApp/ServiceAppTargets.cmake
$lib/libserviceapp.so
$lib/pkgconfig/serviceapp.pc
/usr/share/licenses/serviceapp-devel
/usr/share/licenses/serviceapp-devel/LICENSE" files
expect "$standin" "$(q "$standin" -l)" "$lib/libLumLib.so
/usr/share/licenses/lumlib-standin
/usr/share/licenses/lumlib-standin/LICENSE" files
# Debug symbols: each library's debug file with its build-ID link, and the sources.
so_debug=/usr/lib/debug$lib/libserviceapp.so.$major.0.0-$vr.x86_64.debug
grep -qxF "$so_debug" <<< "$(q "$debuginfo" -l)" || fail "serviceapp-debuginfo lacks $so_debug: $(q "$debuginfo" -l)"
grep -Eq '^/usr/lib/debug/\.build-id/[0-9a-f]{2}/[0-9a-f]{38}\.debug$' <<< "$(q "$debuginfo" -l)" || fail "serviceapp-debuginfo lacks its build-ID link"
grep -qxF "/usr/lib/debug$lib/libLumLib.so-$vr.x86_64.debug" <<< "$(q "$standin_debuginfo" -l)" || fail "lumlib-standin-debuginfo lacks libLumLib's debug file"
grep -qxF "/usr/src/debug/serviceapp-$vr.x86_64/src/core/BaseServiceApp.cpp" <<< "$(q "$debugsource" -l)" || fail "serviceapp-debugsource lacks the sources"
# The source RPM: the tarball and the build recipe, nothing else.
expect "$srpm" "$(q "$srpm" -l)" "serviceapp-$version.tar.gz
serviceapp.rpmbuild" files
for r in "$runtime" "$devel" "$standin"; do
  name=$(q "$r" --qf '%{NAME}')
  expect "$r" "$(q "$r" -L)" "/usr/share/licenses/$name/LICENSE" "licence files"
  # A URL; not relocatable (no Prefix), so serviceapp.pc's literal paths hold.
  expect "$r" "$(q "$r" --qf '%{URL} %{PREFIXES} %{SOURCERPM}')" "https://serviceapp.invalid/ (none) serviceapp-$vr.src.rpm" "URL, prefixes or source RPM"
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

# Scriptlets: ldconfig run directly (-p), after install and removal of the two libraries, nothing else.
for r in "$runtime" "$standin"; do
  expect "$r" "$(q "$r" --qf '%{POSTIN}|[%{POSTINPROG}]|%{POSTUN}|[%{POSTUNPROG}]|%{PREIN}|%{PREUN}' | tr -d '\n')" \
    "(none)|/sbin/ldconfig|(none)|/sbin/ldconfig|(none)|(none)" scriptlets
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

# Fedora's flags on every compile of the library (and the tests, whose
# warnings packaging/build.sh rejected), and the hardening they give.
compiles=$(grep -E '^[^ ]*c\+\+ .* -c [^ ]*/src/core/BaseServiceApp\.cpp$' "$build/build.log")
for flag in -O2 -flto=auto -D_FORTIFY_SOURCE=3 -D_GLIBCXX_ASSERTIONS -fstack-protector-strong -fstack-clash-protection -fcf-protection; do
  [[ " $compiles" == *"$flag"* ]] || fail "the library was compiled without $flag: $compiles"
done
grep -q 'tests passed' "$build/build.log" || fail "%check ran no tests"
grep -q 'BIND_NOW\|FLAGS.*NOW' <<< "$(readelf -d "$so")" || fail "the library is not bound at load"
# (No CET mark to check: Debian's C start files carry none, so the linker drops it.)

# The oldest C and C++ libraries the packages run with, from the symbol
# versions the binaries need, as the README states them.
newest() { for r in "$@"; do q "$r" -R; done | sed -n 's/^libc\.so\.6(GLIBC_\([0-9.]*\))(64bit)$/\1/p' | sort -V | tail -n1; }
glibc=$(newest "$runtime" "$standin") glibc_lib=$(newest "$runtime")
glibcxx=$(for r in "$runtime" "$standin"; do q "$r" -R; done | sed -n 's/^libstdc++\.so\.6(GLIBCXX_\([0-9.]*\))(64bit)$/\1/p' | sort -V | tail -n1)
grep -q "glibc $glibc or newer" README.md || fail "README does not state 'glibc $glibc or newer' (measured)"
grep -q "libserviceapp.* alone needs $glibc_lib\b" <<< "$(tr '\n' ' ' < README.md)" || fail "README does not state that libserviceapp alone needs $glibc_lib (measured)"
grep -qF "the RPMs, built with Fedora's flags, need only \`GLIBCXX_$glibcxx\`" <<< "$(tr '\n' ' ' < README.md | tr -s ' ')" ||
  fail "README does not state that the RPMs need GLIBCXX_$glibcxx (measured)"
echo "needs glibc $glibc (libserviceapp alone $glibc_lib), libstdc++ GLIBCXX_$glibcxx"

# Reproducible: built again in another, deeper directory, under umask 002, in
# another time zone and locale, without %check, every RPM is the same.
rebuild_identical rpm "$dist" "$work" RPMBUILD_ARGS=--nocheck
echo "RPM packages ok"
