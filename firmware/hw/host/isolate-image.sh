#!/bin/sh
# Links the firmware's host objects into one relocatable image whose writable
# data lives in the sections zvfw_data and zvfw_bss (so a boot can reset them),
# and whose C library calls reach the firmware's own console and heap.
# usage: isolate-image.sh OUT LD OBJCOPY READELF SYMBOLS OBJ...
set -eu
out=$1 ld=$2 objcopy=$3 readelf=$4 symbols=$5
shift 5
"$ld" -r -o "$out.tmp" "$@"
renames=$("$readelf" -SW "$out.tmp" | sed -n 's/^ *\[ *[0-9]*\] \([^ ]*\) .*/\1/p' | awk '
  /^\.data\.rel\.ro/ { next }
  /^\.data(\.|$)/    { print "--rename-section " $0 "=zvfw_data" }
  /^\.bss(\.|$)/     { print "--rename-section " $0 "=zvfw_bss" }')
# shellcheck disable=SC2086
"$objcopy" $renames --redefine-syms="$symbols" "$out.tmp" "$out"
rm -f "$out.tmp"
