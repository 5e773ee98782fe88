# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite (and the example daemon, where there is one);
# the first report of either ends the run with a failure.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$work/build
san="-fsanitize=address,undefined -fno-sanitize-recover=all"
# Warnings are gated by the plain builds: instrumented code draws false ones
# (GCC 12's -Wmaybe-uninitialized inside <regex> under ASan).
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE= \
      "-DCMAKE_CXX_FLAGS=$san -fno-omit-frame-pointer -g -O1" \
      "-DCMAKE_EXE_LINKER_FLAGS=$san" "-DCMAKE_SHARED_LINKER_FLAGS=$san" >/dev/null
cmake --build "$build" -j2 >/dev/null
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir "$build" --output-on-failure -j2
heartbeat=$build/examples/heartbeat/heartbeat
if [ -x "$heartbeat" ]; then
  timeout 300 "$heartbeat" -console -beats 2
  echo "heartbeat example ran clean under the sanitizers"
fi
