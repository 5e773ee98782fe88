#!/usr/bin/env bash
# The release tarball: serviceapp-VERSION.tar.gz from the committed tree (HEAD),
# the same bytes on every run for the same commit.
# SPDX-License-Identifier: MIT
#   packaging/dist.sh [OUT_DIR]    (default dist/; prints the tarball's path last)
# Uncommitted changes are left out, with a warning. Every file in the tarball
# carries the commit's time (git archive), and gzip -n adds no name or time.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
version=$(sed -n 's/^project(serviceapp VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "FAIL: no version in CMakeLists.txt" >&2; exit 1; }
git diff --quiet HEAD -- 2> /dev/null ||
  echo "warning: uncommitted changes are not in the tarball (it is made from HEAD)" >&2
mkdir -p "$out"
tarball=$out/serviceapp-$version.tar.gz
git -c tar.umask=0022 archive --format=tar --prefix="serviceapp-$version/" HEAD | gzip -9n > "$tarball.tmp"
mv "$tarball.tmp" "$tarball"
echo "$tarball"
