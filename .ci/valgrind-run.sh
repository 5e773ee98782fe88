#!/usr/bin/env bash
# Runs a program under valgrind (memory errors, leaks, open file descriptors)
# and fails when valgrind finds a problem in it or in any child it forks.
# Used as the test runner (CMAKE_CROSSCOMPILING_EMULATOR) by .ci/checks/50-valgrind.sh.
#   VALGRIND_LOG_DIR  where the per-process logs go (kept for inspection)
#   VALGRIND_LIB_SRC  regex matching a stack frame in one of the library's source
#                     files: a descriptor left open in a forked child counts only
#                     when the library opened it (the test's own pipes stay open
#                     there by design)
#   VALGRIND_STANDIN_SRC  the same for the platform stand-in, whose descriptors
#                     never count: its registry lock is held until the process ends
# Valgrind's exit status ignores descriptor leaks, so the summaries are read:
# at exit a process may hold only what it inherited (0, 1, 2 and whatever its
# parent passed on).
# SPDX-License-Identifier: MIT
set -uo pipefail
logdir=${VALGRIND_LOG_DIR:?}
# Handed to awk through the environment, which leaves backslashes alone.
export VALGRIND_LIB_SRC=${VALGRIND_LIB_SRC:-'\(ServiceApp\.cpp:'}
export VALGRIND_STANDIN_SRC=${VALGRIND_STANDIN_SRC:-'^$'}
mkdir -p "$logdir"
# Tests drop to an unprivileged user in forked children, whose valgrind
# writes a log of its own here too.
chmod 1777 "$logdir"
prefix=$logdir/vg.$$
valgrind --error-exitcode=1 --leak-check=full --track-fds=yes --num-callers=30 \
  --suppressions="$(dirname "$0")/valgrind.supp" --log-file="$prefix.%p" "$@"
rc=$?
bad=0
for log in "$prefix".*; do
  [ -e "$log" ] || continue
  top=0  # the process valgrind started, as opposed to a child it forked
  grep -Eq "^==[0-9]+== Parent PID: $$\$" "$log" && top=1
  if grep -Eq 'ERROR SUMMARY: [1-9]' "$log"; then
    echo "valgrind: errors in $(basename "$log") (${*:1:3}):" >&2
    cat "$log" >&2
    bad=1
    continue
  fi
  # One entry per open descriptor: "Open ... N: ..." then its origin, up to an empty line.
  leaks=$(awk -v top=$top '
    BEGIN { libsrc = ENVIRON["VALGRIND_LIB_SRC"]; standinsrc = ENVIRON["VALGRIND_STANDIN_SRC"] }
    function flush() {
      if (entry != "" && fd >= 3 && !inherited && !standin && (top || lib)) printf "%s", entry
      entry = ""
    }
    { line = $0; sub(/^==[0-9]+== ?/, "", line) }
    line ~ /^Open .* [0-9]+:/ {
      flush()
      fd = line; sub(/:.*/, "", fd); sub(/.* /, "", fd); fd += 0
      entry = line "\n"; inherited = 0; lib = 0; standin = 0; decided = 0; next
    }
    entry != "" && line == "" { flush(); next }
    entry != "" {
      entry = entry line "\n"
      if (line ~ /<inherited from parent>/) inherited = 1
      # The innermost frame in a C++ source of ours says who opened it.
      if (!decided && line ~ /\([^()]*\.cpp:[0-9]+\)$/) {
        decided = 1; lib = (line ~ libsrc); standin = (line ~ standinsrc)
      }
    }
    END { flush() }' "$log")
  if [ -n "$leaks" ]; then
    echo "valgrind: file descriptors left open at exit in $(basename "$log") (${*:1:3}):" >&2
    echo "$leaks" >&2
    bad=1
  fi
done
if [ $rc = 0 ] && [ $bad = 1 ]; then
  rc=1
elif [ $rc != 0 ] && [ $bad = 0 ]; then
  # Not a finding of valgrind's: the program's own failure, or valgrind could not run.
  grep -h 'FATAL\|valgrind:' "$prefix".* >&2 || true
fi
exit $rc
