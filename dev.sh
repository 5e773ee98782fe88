#!/usr/bin/env bash
# Developer entry point: ./dev.sh example | test | deb | rpm
#   example  installs what is missing, builds, runs the heartbeat example in the console
#   test     installs what is missing, builds with warnings as errors, runs the whole test suite
#   deb      installs what is missing, builds the three Debian packages into dist/deb/, runs lintian
#   rpm      installs what is missing, builds the three RPM packages into dist/rpm/, runs rpmlint
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")"
case "${1:-}" in
  # Release builds with the hardening flags in build-deb/ or build-rpm/, whatever the environment says.
  deb | rpm) exec packaging/build.sh "$1" ;;
esac
. .ci/lib.sh
build=${BUILD_DIR:-build}
ensure_packages "${BASE_PACKAGES[@]}"
cmake -S . -B "$build" -DSERVICEAPP_WERROR=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
case "${1:-}" in
  example) exec "$build/examples/heartbeat/heartbeat" -console -beats 3 ;;
  test) unpack_insserv "$build/insserv"
        ctest --test-dir "$build" --output-on-failure -j"$(nproc)" ;;
  *) sed -n '2,6p' "$0"; exit 2 ;;
esac
