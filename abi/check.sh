#!/usr/bin/env bash
# Compares the ABI of a fresh RelWithDebInfo build of libserviceapp with the
# baseline in abi/ (an abidw dump and the exported dynamic symbols), or with
# --update writes a new baseline after a deliberate change.
# Usage: abi/check.sh [--update] [--build-dir DIR]
# SPDX-License-Identifier: MIT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
update=0 build=""
while [ $# -gt 0 ]; do
  case $1 in
    --update) update=1 ;;
    --build-dir) build=$2; shift ;;
    *) echo "usage: abi/check.sh [--update] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "$build" ] || build=$work/build
hint="If the change is deliberate, refresh the baseline with: abi/check.sh --update (and commit abi/)"

# Layouts need debug information, hence RelWithDebInfo. The prefix map keeps
# this checkout's and the build's paths out of the dump.
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DSERVICEAPP_BUILD_TESTS=OFF -DSERVICEAPP_BUILD_EXAMPLES=OFF \
      "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$src/= -ffile-prefix-map=$(realpath -m "$build")/=" >/dev/null
cmake --build "$build" -j2 --target serviceapp >/dev/null
lib=$build/libserviceapp.so

abidw --no-show-locs --no-corpus-path --no-comp-dir-path --out-file "$work/libserviceapp.abi" "$lib"
# One exported name per line; data objects (variables, vtables, type
# information) with their size, functions without (their size follows the code).
readelf --dyn-syms -W "$lib" |
  awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $8 != "" {
         if ($4 == "OBJECT" || $4 == "TLS") print $8, $3; else print $8 }' |
  LC_ALL=C sort > "$work/libserviceapp.symbols"

if [ $update = 1 ]; then
  cp "$work/libserviceapp.abi" "$work/libserviceapp.symbols" "$here/"
  echo "ABI baseline written to abi/ ($(wc -l < "$here/libserviceapp.symbols") exported symbols)"
  exit 0
fi

status=0
if ! diff -u "$here/libserviceapp.symbols" "$work/libserviceapp.symbols" > "$work/symbols.diff"; then
  echo "ABI CHANGE: the exported symbols of libserviceapp differ from abi/libserviceapp.symbols:"
  cat "$work/symbols.diff"
  status=1
fi
set +e
abidiff --no-show-locs --leaf-changes-only "$here/libserviceapp.abi" "$work/libserviceapp.abi" > "$work/abidiff.txt" 2>&1
rc=$?
set -e
if [ $rc != 0 ]; then
  echo "ABI CHANGE: abidiff reports a difference from abi/libserviceapp.abi (exit status $rc):"
  cat "$work/abidiff.txt"
  status=1
fi
if [ $status != 0 ]; then
  echo "$hint"
  exit 1
fi
echo "ABI unchanged: $(wc -l < "$work/libserviceapp.symbols") exported symbols, types and layouts as in abi/"
