#!/usr/bin/env bash
# Installs what the build and the tests need, once: Debian 12 packages, and
# the ONVIF clients the interoperability tests drive, from their lock file.
#   scripts/setup.sh          for the build machine's own builds
#   scripts/setup.sh armhf    also the cross compiler, qemu-user and the
#                             device's libraries (Debian multiarch)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ gcc libgtest-dev jq libexpat1-dev iproute2 clang-14 libclang-rt-14-dev groff-base)
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

if [ "${1:-}" = armhf ]; then
    packages+=(g++-arm-linux-gnueabihf lld qemu-user libgtest-dev:armhf libexpat1-dev:armhf)
    dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

interop=tests/interop
if [ ! -d "$interop/node_modules/onvif" ] || [ ! -d "$interop/node_modules/node-onvif" ] ||
   [ "$interop/package-lock.json" -nt "$interop/node_modules/.package-lock.json" ]; then
    echo "setup: installing the ONVIF clients for the interoperability tests"
    (cd "$interop" && npm ci --no-audit --no-fund --loglevel=error)
fi
