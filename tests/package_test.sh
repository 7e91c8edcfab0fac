#!/bin/sh
# The device's packages as built (scripts/package.sh): each armhf program
# is an ARM EABI5 hard-float executable, needs exactly the device's
# libraries and carries every protection of the device build; the daemon's
# package (each architecture) only recommends our stand-in libraries.
#   package_test.sh DEB_DIR
set -eu
here=$(dirname "$0")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for deb in "$1"/housectl_*_armhf.deb "$1"/discovery-daemon_*_armhf.deb; do
    [ -e "$deb" ] || { echo "no package $deb: run scripts/package.sh"; exit 1; }
    dpkg-deb -x "$deb" "$tmp"
done
for prog in usr/bin/housectl usr/sbin/discovery-daemon; do
    header=$(readelf -h "$tmp/$prog")
    echo "$header" | grep -q 'Machine:.*ARM$' && echo "$header" | grep -q 'Version5 EABI, hard-float ABI' ||
        { echo "$prog is not ARM EABI5 hard-float:"; echo "$header"; exit 1; }
done
sh "$here/needed_test.sh" "$tmp/usr/bin/housectl" yes libc.so.6
sh "$here/needed_test.sh" "$tmp/usr/sbin/discovery-daemon" none libc.so.6 libonvif.so libkzcommon.so \
    libkzlog-pthread.so
# A board with the platform's own libraries does without our stand-ins:
# the daemon's package recommends them, and needs them in no other way.
for deb in "$1"/discovery-daemon_*.deb; do
    if dpkg-deb -f "$deb" Pre-Depends Depends | grep -q ip-house-platform ||
       ! dpkg-deb -f "$deb" Recommends | grep -qx ip-house-platform; then
        echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends Recommends)"
        exit 1
    fi
done
echo "packages: the armhf programs are ARM EABI5 hard-float, hardened, with the device's libraries;"
echo "packages: discovery-daemon recommends ip-house-platform and does not depend on it"
