# The platform library at run time: libserviceapp needs libLumLib.so and finds
# it beside itself or in ../Base64 (LD_LIBRARY_PATH unset), clients link only
# -lserviceapp, and an installed client on CLUMServiceApp refuses a second
# copy of itself across real processes.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}" binutils
unset LD_LIBRARY_PATH
work=$(mktemp -d)
first=
trap '[ -z "$first" ] || kill -KILL "$first" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
dyn() { readelf -d "$1" | sed -n "s/.*($2).*\[\(.*\)\]/\1/p"; }

cmake -S . -B "$work/build" -DSERVICEAPP_WERROR=ON -DSERVICEAPP_BUILD_TESTS=OFF \
      -DSERVICEAPP_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$work/build" -j2 >/dev/null
prefix=$work/prefix
cmake --install "$work/build" --prefix "$prefix" >/dev/null
lib=$(dirname "$(find "$prefix" -name libserviceapp.so.1 | head -n1)")
base64=$(dirname "$lib")/Base64

# What the libraries record.
dyn "$lib/libserviceapp.so.1" NEEDED | grep -qx libLumLib.so || fail "libserviceapp does not need libLumLib.so"
[ "$(dyn "$lib/libserviceapp.so.1" RUNPATH)" = '$ORIGIN:$ORIGIN/../Base64' ] || fail "run path of libserviceapp"
[ -z "$(dyn "$lib/libserviceapp.so.1" RPATH)" ] || fail "libserviceapp has DT_RPATH"
[ "$(dyn "$lib/libLumLib.so" SONAME)" = libLumLib.so ] || fail "SONAME of the stand-in"
extra=$(nm -D --defined-only "$lib/libLumLib.so" | awk '{print $3}' |
        grep -vE '^(uxsvc_isrunning|uxsvc_checkin|_ZN7EvDebug|_ZN11LUMPI_Focus|_ZN15LUMPlatformInfo)' || true)
[ -z "$extra" ] || fail "the stand-in exports more than its API: $extra"

# Clients never name the platform library, and it installs as a component of its own.
export PKG_CONFIG_PATH=$lib/pkgconfig
! pkg-config --libs serviceapp | grep -qi lum || fail "pkg-config's Libs name the platform library"
! grep -qil lumlib "$lib"/cmake/ServiceApp/*.cmake || fail "the CMake package names the platform library"
cmake --install "$work/build" --prefix "$work/component" --component lumlib >/dev/null
[ "$(cd "$work/component" && find . ! -type d)" = "./${lib#"$prefix"/}/libLumLib.so" ] ||
    fail "component lumlib holds more or less than the stand-in"

g++ -std=c++17 -Wall -Wextra -Werror -o "$work/lumclient" .ci/client/lumclient.cpp \
    $(pkg-config --cflags --libs serviceapp) -Wl,-rpath,"$lib"
[ -z "$(dyn "$work/lumclient" NEEDED | grep -i lum)" ] || fail "the client itself needs the platform library"

# The stand-in's files, all private to this check.
export LUM_RUNTIME_DIR=$work/run LUM_CONFIG=$work/lum.conf LUM_DEBUG_LOG=$work/debug.log
mkdir "$work/core" "$work/start"
printf '[Base]\ndCOREDIR = %s\n' "$work/core" >"$LUM_CONFIG"
once() { (cd "$work/start" && "$work/lumclient" -vm inst1 -once); }

[ "$(once)" = "running in $work/core" ] || fail "client with the stand-in beside libserviceapp"
mkdir "$base64"
mv "$lib/libLumLib.so" "$base64/"
[ "$(once)" = "running in $work/core" ] || fail "client with the stand-in in ../Base64"
mv "$base64/libLumLib.so" "$work/"
if once 2>"$work/err"; then fail "client ran without any platform library"; fi
grep -q libLumLib.so "$work/err" || fail "missing platform library not reported by the loader"
mv "$work/libLumLib.so" "$base64/"
echo "platform library found beside libserviceapp and in ../Base64"

# A second copy is refused while the first runs, a new one starts after it stopped.
mkfifo "$work/events"
(cd "$work/start" && exec "$work/lumclient") >"$work/events" &
first=$!
exec 3<"$work/events"
read -r -t 60 line <&3 || fail "first copy did not start"
[ "$line" = "running in $work/core" ] || fail "first copy: $line"
rc=0
"$work/lumclient" >"$work/second.out" 2>"$work/second.err" || rc=$?
[ $rc = 251 ] || fail "second copy ended with $rc, not -5"
printf 'service [lumclient] is already running.' | cmp -s - "$work/second.err" || fail "second copy's message: $(cat "$work/second.err")"
[ ! -s "$work/second.out" ] || fail "second copy ran"
kill -TERM "$first"
rc=0
wait "$first" || rc=$?
first=
[ $rc = 0 ] || fail "first copy ended with $rc"
[ "$(once)" = "running in $work/core" ] || fail "new copy after the first stopped"
[ "$(grep -c ' DEBUG Service \[lumclient\] is checked in\.$' "$LUM_DEBUG_LOG")" = 4 ] || fail "check-ins in the log"
echo "second copy refused across processes; new copy ran after the first stopped"
