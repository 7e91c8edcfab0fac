#!/bin/sh
# A program needs exactly the libraries the device has for it, and carries
# every protection of the device build (FORTIFY as given: yes, or none for
# a program none of whose calls the fortified library needs to check):
#   needed_test.sh BINARY FORTIFY LIBRARY...
binary=$1
fortify=$2
shift 2
needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | LC_ALL=C sort | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | LC_ALL=C sort | tr '\n' ' ')
echo "NEEDED: $needed"
[ "$needed" = "$expected" ] || exit 1
hardening=$(sh "$(dirname "$0")/elf_hardening.sh" "$binary")
echo "$hardening"
[ "$hardening" = "PIE=yes RELRO=yes BIND_NOW=yes SSP=yes NX=yes FORTIFY=$fortify" ]
