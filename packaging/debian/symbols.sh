#!/bin/sh
# Writes libserviceapp1's symbols file: every exported symbol of the ABI
# baseline with the upstream version that first shipped it.
# SPDX-License-Identifier: MIT
#   symbols.sh BASELINE SYMBOLS-SINCE VERSION > libserviceapp1.symbols
set -eu
baseline=$1 since=$2 version=$3
awk -v version="$version" -v first=1.0.0.0 -v since="$since" '
  function newer(a, b,   x, y, i, n) {  # a later than b, both dotted numbers
    n = split(a, x, "."); split(b, y, ".")
    for (i = 1; i <= n || i in y; i++) if (x[i] + 0 != y[i] + 0) return x[i] + 0 > y[i] + 0
    return 0
  }
  FILENAME == since {
    if (/^#/ || !NF) next
    if (NF != 2 || $2 !~ /^[0-9][0-9.]*$/) { print since ": not NAME VERSION: " $0 > "/dev/stderr"; exit 1 }
    if (newer($2, version)) { print since ": " $1 " dates from " $2 ", after " version > "/dev/stderr"; exit 1 }
    at[$1] = $2; next
  }
  { names[++n] = $1; exported[$1] = 1 }
  END {
    for (s in at) if (!(s in exported)) { print since ": " s " is not exported" > "/dev/stderr"; exit 1 }
    print "libserviceapp.so.1 libserviceapp1 #MINVER#"
    print "* Build-Depends-Package: libserviceapp-dev"
    for (i = 1; i <= n; i++) print " " names[i] "@Base " (names[i] in at ? at[names[i]] : first)
  }' "$since" "$baseline"
