#!/usr/bin/env bash
# Checks the LumVersion build stamp of the built library: not loaded, one
# well-formed line, kept by strip, UTC and SOURCE_DATE_EPOCH honoured.
# Usage: BuildStamp_test.sh LIBRARY VERSION STAMP_SCRIPT
# SPDX-License-Identifier: MIT
set -euo pipefail
lib=$1 version=$2 script=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# flags LIB: the readelf flag letters of LIB's LumVersion section ("-" if none).
flags() {
  readelf -SW "$1" | sed -n 's/^ *\[ *[0-9]*\] //p' |
    awk '$1 == "LumVersion" { print (NF == 10 ? $7 : "-"); found = 1 } END { exit !found }'
}
# stamp LIB OUT: copies the content of LIB's LumVersion section to OUT.
stamp() { objcopy --dump-section "LumVersion=$2" "$1" "$work/scratch"; }

f=$(flags "$lib") || fail "$lib has no LumVersion section"
case $f in *A*) fail "LumVersion is loaded at run time (flags $f)" ;; esac
stamp "$lib" "$work/stamp"
re="^${version//./\\.} [01][0-9]/[0-3][0-9]/[0-9]{2} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\$"
[ "$(wc -l < "$work/stamp")" = 1 ] || fail "stamp is not exactly one line: $(od -c "$work/stamp")"
[ "$(tail -c1 "$work/stamp" | od -An -c | tr -d ' ')" = '\n' ] || fail "stamp does not end in a newline"
grep -Eq "$re" "$work/stamp" || fail "malformed stamp: $(cat "$work/stamp")"
date -u -d "$(cut -d' ' -f2- "$work/stamp")" >/dev/null || fail "stamp holds no real date: $(cat "$work/stamp")"
echo "stamp: $(cat "$work/stamp")"

# Packaging and installing with --strip must not lose it.
cp "$lib" "$work/stripped.so"
strip "$work/stripped.so"
stamp "$work/stripped.so" "$work/stamp.stripped" || fail "strip removed the stamp"
cmp -s "$work/stamp" "$work/stamp.stripped" || fail "strip changed the stamp"

# SOURCE_DATE_EPOCH gives the same stamp, in UTC, in any time zone, and
# stamping is byte for byte reproducible.
objcopy --remove-section=LumVersion "$lib" "$work/bare.so"
for i in 1 2; do
  cp "$work/bare.so" "$work/lib$i.so"
  SOURCE_DATE_EPOCH=1700000000 TZ=Pacific/Auckland cmake -DSTAMP_VERSION="$version" \
    -DSTAMP_FILE="$work/line$i" -DSTAMP_TARGET="$work/lib$i.so" -DSTAMP_OBJCOPY=objcopy -P "$script"
done
[ "$(cat "$work/line1")" = "$version 11/14/23 22:13:20" ] || fail "SOURCE_DATE_EPOCH not honoured in UTC: $(cat "$work/line1")"
stamp "$work/lib1.so" "$work/stamp.epoch"
cmp -s "$work/line1" "$work/stamp.epoch" || fail "stamped section differs from the stamp line"
cmp -s "$work/lib1.so" "$work/lib2.so" || fail "stamping with SOURCE_DATE_EPOCH is not reproducible"
[ "$(flags "$work/lib1.so")" = "$f" ] || fail "re-stamping changed the section flags"
echo "stamp ok"
