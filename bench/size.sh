#!/usr/bin/env bash
# Sizes of the device (armhf) build as the image carries them (stripped as
# `cmake --install --strip` does), against the flash budget: housectl
# 12 KiB, discovery-daemon 8 KiB; their NEEDED lists and protections. For a
# program over its budget, what its bytes go to.
#   bench/size.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh armhf
cmake --preset armhf >/dev/null
cmake --build --preset armhf --target housectl discovery-daemon onvif kzcommon kzlog-pthread >/dev/null

b=build/armhf
strip=cmake/device-strip.sh
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '%-20s %8s %7s  %-58s %s\n' file stripped budget protections NEEDED
row() {  # file, budget in bytes or "-"
    "$strip" -o "$tmp/s" "$1"
    size=$(stat -c %s "$tmp/s")
    needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    mark=""
    [ "$2" != - ] && [ "$size" -gt "$2" ] && mark=" (over)"
    printf '%-20s %8d %7s  %-58s %s%s\n' "$(basename "$1")" "$size" "$2" \
        "$(sh tests/elf_hardening.sh "$tmp/s")" "$needed" "$mark"
}
row $b/housectl/housectl 12288
row $b/discovery-daemon/discovery-daemon 8192
for lib in onvif kzcommon kzlog-pthread; do row $b/platform/lib$lib.so -; done

for prog in housectl/housectl discovery-daemon/discovery-daemon; do
    "$strip" -o "$tmp/s" "$b/$prog"
    budget=$([ "$prog" = housectl/housectl ] && echo 12288 || echo 8192)
    [ "$(stat -c %s "$tmp/s")" -le "$budget" ] && continue
    echo
    echo "$(basename $prog): largest sections (size -A), then largest symbols"
    arm-linux-gnueabihf-size -A "$tmp/s" | awk 'NR > 2 && $2 > 0 && $1 != "Total"' | sort -k2 -n -r | head -8
    arm-linux-gnueabihf-readelf -lW "$tmp/s" | awk '/LOAD/ { printf "  LOAD offset %s filesz %s\n", $2, $5 }'
    arm-linux-gnueabihf-nm --size-sort -S "$b/$prog" | tail -6
done
