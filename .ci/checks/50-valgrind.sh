# Runs the example daemon and every test not labelled "stress" or "systemd"
# under valgrind (memory errors, leaks, file descriptors left open); see
# .ci/valgrind-run.sh. The systemd-labelled tests are left out: the daemons
# they exercise are started by the booted systemd, not through valgrind, so
# only the test harness itself would be checked.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}" valgrind
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 711 "$work"  # the logs below are written by unprivileged test children too
build=$work/build
runner=$PWD/.ci/valgrind-run.sh
# Every test program (and its test discovery) runs through the runner.
# Warnings are gated by the plain builds; this one is about run-time behaviour.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="-g -O0" \
      "-DCMAKE_CROSSCOMPILING_EMULATOR=bash;$runner" >/dev/null
cmake --build "$build" -j2 >/dev/null
export VALGRIND_LOG_DIR=$work/logs
# frames_in DIR: a regex for a valgrind stack frame in one of DIR's C++ sources.
frames_in() { echo "\\(($(find "$1" -name '*.cpp' -printf '%f\n' | sed 's/\./\\./g' | paste -sd'|')):"; }
# Descriptors a forked test child still holds count only when the library
# opened them; the platform stand-in's never count.
VALGRIND_LIB_SRC=$(frames_in src)
VALGRIND_STANDIN_SRC=$(frames_in lumlib)
export VALGRIND_LIB_SRC VALGRIND_STANDIN_SRC
heartbeat=$build/examples/heartbeat/heartbeat
if [ -x "$heartbeat" ]; then
  timeout 300 bash "$runner" "$heartbeat" -console -beats 2
  echo "heartbeat example: valgrind clean"
fi
ctest --test-dir "$build" --output-on-failure -j2 -LE 'stress|systemd'
echo "valgrind: $(ls "$VALGRIND_LOG_DIR" | wc -l) processes checked"
