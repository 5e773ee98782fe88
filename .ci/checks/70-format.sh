# Fails when a C++ file differs from what clang-format (.clang-format) makes of it.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages clang-format git
hint="Format with: git ls-files '*.cpp' '*.h' | xargs clang-format -i"
status=0 checked=0
while IFS= read -r -d '' f; do
  checked=$((checked + 1))
  # The diff shows what clang-format would change.
  clang-format --style=file "$f" | diff -u --label "$f" --label "$f (clang-format)" "$f" - || status=1
done < <(git ls-files -z -- '*.cpp' '*.h' '*.hpp' '*.cc')
if [ $status != 0 ]; then
  echo "$hint"
  exit 1
fi
echo "clang-format: $checked files clean"
