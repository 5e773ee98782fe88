# Builds the fuzz harnesses with clang under libFuzzer, ASan and UBSan, runs
# each for a bounded time from its committed corpus, and replays the kept
# regression inputs. A crash fails the check; its input is copied into
# fuzz/regressions/HARNESS/ so that it can be committed as a regression test.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}" clang-14 libclang-rt-14-dev
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sanitize="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$sanitize" -DSERVICEAPP_BUILD_FUZZERS=ON -DSERVICEAPP_NO_UNDEFINED=OFF \
    -DSERVICEAPP_BUILD_TESTS=OFF -DSERVICEAPP_BUILD_EXAMPLES=OFF >/dev/null
harnesses=(command_line install_input)
# Only the harnesses: the shared library is not linked against the sanitizer runtime.
cmake --build "$build" -j2 --target "${harnesses[@]/#/fuzz_}" >"$work/build.log" 2>&1 ||
  { tail -n 60 "$work/build.log"; exit 1; }
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=0
for h in "${harnesses[@]}"; do
  fuzzer=$build/fuzz/fuzz_$h
  mkdir -p "$work/$h" "$work/artifacts-$h"
  echo "--- $h: regressions"
  # -runs=0 executes every input of the given directories once and stops.
  "$fuzzer" -runs=0 "fuzz/regressions/$h" "fuzz/corpus/$h" 2>"$work/$h.replay.log" ||
    { tail -n 40 "$work/$h.replay.log"; failed=1; continue; }
  echo "--- $h: fuzzing for ${seconds}s"
  # New inputs go to a scratch corpus; the committed one is only read.
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=20000 \
        -dict="fuzz/$h.dict" -artifact_prefix="$work/artifacts-$h/" -print_final_stats=1 \
        "$work/$h" "fuzz/corpus/$h" >"$work/$h.log" 2>&1; then
    tail -n 60 "$work/$h.log"
    for crash in "$work/artifacts-$h"/*; do
      [ -e "$crash" ] || continue
      cp "$crash" "fuzz/regressions/$h/"
      echo "kept fuzz/regressions/$h/$(basename "$crash"): commit it with the fix"
    done
    failed=1
    continue
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+.*DONE)' "$work/$h.log" || true
done
exit $failed
