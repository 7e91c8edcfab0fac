#!/bin/sh
# A program needs exactly the libraries the device has for it:
#   needed_test.sh BINARY LIBRARY...
binary=$1
shift
needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | LC_ALL=C sort | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | LC_ALL=C sort | tr '\n' ' ')
echo "NEEDED: $needed"
[ "$needed" = "$expected" ]
