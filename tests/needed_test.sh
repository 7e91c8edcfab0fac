#!/bin/sh
# housectl must run on the device with nothing but the C library.
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
echo "NEEDED: $needed"
[ "$needed" = "libc.so.6 " ]
