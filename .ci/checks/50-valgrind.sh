# Runs the example daemon and every test not labelled "stress" under valgrind
# (memory errors, leaks, file descriptors left open); see .ci/valgrind-run.sh.
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}" valgrind
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$work/build
runner=$PWD/.ci/valgrind-run.sh
# Every test program (and its test discovery) runs through the runner.
cmake -S . -B "$build" -DSERVICEAPP_WERROR=ON -DCMAKE_CXX_FLAGS="-g -O0" \
      "-DCMAKE_CROSSCOMPILING_EMULATOR=bash;$runner" >/dev/null
cmake --build "$build" -j2 >/dev/null
export VALGRIND_LOG_DIR=$work/logs
# Descriptors a forked test child still holds count only when the library opened them.
VALGRIND_LIB_SRC="\\(($(find src lumlib -name '*.cpp' -printf '%f\n' | sed 's/\./\\./g' | paste -sd'|')):"
export VALGRIND_LIB_SRC
heartbeat=$build/examples/heartbeat/heartbeat
if [ -x "$heartbeat" ]; then
  timeout 300 bash "$runner" "$heartbeat" -console -beats 2
  echo "heartbeat example: valgrind clean"
fi
ctest --test-dir "$build" --output-on-failure -j2 -LE stress
echo "valgrind: $(ls "$VALGRIND_LOG_DIR" | wc -l) processes checked"
