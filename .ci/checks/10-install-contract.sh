# Installs into a temporary prefix and builds a tiny client against it, once
# through pkg-config and once through find_package, so the install contract
# cannot break unnoticed. Also checks the exported symbol set.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No build type given, as the README configures: an optimised build all the same.
for type in "" Debug; do
  cmake -S . -B "$work/build$type" ${type:+-DCMAKE_BUILD_TYPE=$type} -DSERVICEAPP_WERROR=ON \
        -DSERVICEAPP_BUILD_TESTS=OFF -DSERVICEAPP_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build "$work/build$type" -j2 >/dev/null
done
grep -qx 'CMAKE_BUILD_TYPE:STRING=RelWithDebInfo' "$work/build/CMakeCache.txt" \
    || { echo "a build without a build type is not RelWithDebInfo" >&2; exit 1; }
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null
prefix=$work/prefix
libdir=$(dirname "$(find "$prefix" -name 'libserviceapp.so' | head -n1)")
export PKG_CONFIG_PATH=$libdir/pkgconfig
g++ -std=c++17 -Wall -Wextra -Werror -o "$work/client-pc" .ci/client/client.cpp $(pkg-config --cflags --libs serviceapp) -Wl,-rpath,"$libdir"
"$work/client-pc" | grep -qx 'client ok'
cmake -S .ci/client -B "$work/client-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/client-build" >/dev/null
"$work/client-build/client" | grep -qx 'client ok'
# The platform class through the same target; the console neither checks in
# nor logs, and the stand-in's files point into the temporary tree all the same.
LUM_RUNTIME_DIR=$work/run LUM_CONFIG=$work/lum.conf LUM_DEBUG_LOG=$work/debug.log \
    "$work/client-build/lumclient" -console -once | grep -q '^running in '
echo "client built with pkg-config and with find_package"
