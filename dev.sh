#!/usr/bin/env bash
# Developer entry point: ./dev.sh example | test | dist | deb | rpm
#   example  installs what is missing, builds, runs the heartbeat example in the console
#   test     installs what is missing, builds with warnings as errors, runs the whole test suite
#   dist     the release tarball dist/serviceapp-VERSION.tar.gz from the committed tree
#   deb      from that tarball, dpkg-buildpackage into dist/deb/ (with -dbgsym and source package), then lintian
#   rpm      from that tarball, rpmbuild -ba into dist/rpm/ (with -debuginfo and source RPM), then rpmlint
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")"
case "${1:-}" in
  # Built in build-deb/ or build-rpm/ with the family's tools and flags (see packaging/build.sh).
  deb | rpm) exec packaging/build.sh "$1" ;;
  dist) exec packaging/dist.sh ;;
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
  *) sed -n '2,7p' "$0"; exit 2 ;;
esac
