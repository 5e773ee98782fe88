#!/usr/bin/env bash
# Puts the licence line "SPDX-License-Identifier: MIT" into the head comment of every tracked source file.
# SPDX-License-Identifier: MIT
#   .ci/add-spdx.sh          adds the line where it is missing (again and again: files that have it stay as they are)
#   .ci/add-spdx.sh --check  lists the files whose head comment lacks it and fails if there are any
# Sources are C++ files, linker version scripts (*.map), shell scripts (*.sh
# and files starting with a shell #!), CMake files and templates, and
# pkg-config templates. Data stays as it is: test corpora and expected
# output (tests/data/, fuzz/), the ABI baseline, Markdown, configuration.
# The line goes right after the first paragraph of the head comment (the
# file's one-line purpose, or the sentence it runs on into), after the #!
# line in scripts; a file without a head comment gets it as its first line.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=fix
case "${1:-}" in
  --check) mode=check ;;
  "") ;;
  *) echo "usage: .ci/add-spdx.sh [--check]" >&2; exit 2 ;;
esac
spdx='SPDX-License-Identifier: MIT'

# style FILE: the comment syntax of a source file ("#", "//" or "/*"), nothing for data.
style() {
  case $1 in
    tests/data/* | fuzz/corpus/* | fuzz/regressions/*) return ;;
    *.cpp | *.h | *.hpp | *.cc) echo '//' ;;
    *.map) echo '/*' ;;
    *.sh | CMakeLists.txt | */CMakeLists.txt | *.cmake | *.cmake.in | *.pc.in) echo '#' ;;
    *) head -n1 "$1" 2> /dev/null | grep -Eq '^#!.*\b(ba|da)?sh\b' && echo '#' || true ;;
  esac
}

# The head comment: after a #! line, the comment lines at the top of the file
# (for "/*", whole comment blocks). has: whether it holds the licence line;
# at: the line after which the licence line goes (the end of its first
# paragraph, or the #! line, or 0).
head_comment() {  # head_comment FILE STYLE
  awk -v style="$2" -v spdx="$spdx" '
    function comment(line) {
      if (style == "/*") return inblock || line ~ /^[ \t]*\/\*/
      return index(line, style) == 1
    }
    NR == 1 && /^#!/ { at = 1; next }
    !done && comment($0) {
      if (index($0, spdx)) has = 1
      if (style == "/*") {
        if ($0 ~ /\*\//) { inblock = 0; if (!para) { at = NR; para = 1 } } else inblock = 1
      } else if (!para) {
        if ($0 == style || $0 ~ ("^" (style == "#" ? "#" : "//") "[ \t]*$")) para = 1; else at = NR
      }
      next
    }
    { done = 1 }
    END { print (has ? 1 : 0), at + 0 }' "$1"
}

# line STYLE: the licence line in that syntax.
line() { [ "$1" = '/*' ] && echo "/* $spdx */" || echo "$1 $spdx"; }

missing=() changed=0
while IFS= read -r -d '' f; do
  [ -f "$f" ] && [ ! -L "$f" ] || continue
  s=$(style "$f")
  [ -n "$s" ] || continue
  read -r has at < <(head_comment "$f" "$s")
  [ "$has" = 1 ] && continue
  if [ $mode = check ]; then
    missing+=("$f")
    continue
  fi
  # Insert after line AT, keeping the file's mode and its other bytes.
  tmp=$(mktemp)
  { head -n "$at" "$f"; line "$s"; tail -n +"$((at + 1))" "$f"; } > "$tmp"
  cat "$tmp" > "$f"
  rm -f "$tmp"
  changed=$((changed + 1))
done < <(git ls-files -z)

if [ $mode = check ]; then
  if [ ${#missing[@]} -gt 0 ]; then
    printf '%s\n' "${missing[@]}"
    echo "${#missing[@]} source files lack '$spdx' in their head comment; add it with: bash .ci/add-spdx.sh"
    exit 1
  fi
  echo "licence line: every source file has it"
else
  echo "licence line added to $changed files"
fi
