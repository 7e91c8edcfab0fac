#!/bin/sh
# Prints the protections an ELF program was linked with, one word each:
#   PIE=yes RELRO=yes BIND_NOW=yes SSP=yes NX=yes FORTIFY=yes|none
#   elf_hardening.sh FILE
f=$1
headers=$(readelf -hW "$f")
segments=$(readelf -lW "$f")
dynamic=$(readelf -dW "$f")
imports=$(readelf --dyn-syms -W "$f" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
yes() { if "$@" >/dev/null 2>&1; then echo yes; else echo no; fi; }
pie=$(yes sh -c 'echo "$1" | grep -q "Type:.*DYN" && echo "$2" | grep -q "FLAGS_1.*PIE"' - "$headers" "$dynamic")
relro=$(yes sh -c 'echo "$1" | grep -q GNU_RELRO' - "$segments")
now=$(yes sh -c 'echo "$1" | grep -Eq "\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW"' - "$dynamic")
ssp=$(yes sh -c 'echo "$1" | grep -qx __stack_chk_fail' - "$imports")
# The stack segment must not be executable (flags RW, not RWE).
nx=$(yes sh -c 'echo "$1" | grep GNU_STACK | grep -qv RWE' - "$segments")
# Fortified calls show as their checking forms; a program none of whose
# calls needed a check shows none (fortifying left nothing to see).
fortify=$(yes sh -c 'echo "$1" | grep -v __stack_chk_fail | grep -q "^__.*_chk$"' - "$imports")
[ "$fortify" = no ] && fortify=none
echo "PIE=$pie RELRO=$relro BIND_NOW=$now SSP=$ssp NX=$nx FORTIFY=$fortify"
