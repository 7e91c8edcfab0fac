#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   scripts/test.sh          the release build
#   scripts/test.sh asan     the AddressSanitizer + UBSan build
#   scripts/test.sh armhf    the device build, cross-compiled, run under qemu-user
#   scripts/test.sh vm       the device emulated whole: the armhf image booted
#                            in the full-system emulator, checked from here
#   scripts/test.sh systemd  the systemd unit in a Debian 12 system booted in
#                            a container
#   scripts/test.sh packages the Debian packages, built (scripts/package.sh),
#                            checked by lintian and installed in that system
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
if [ "$preset" = vm ]; then
    scripts/setup.sh vm
    cmake --preset armhf >/dev/null
    cmake --build --preset armhf
    scripts/device-image.sh
    cmake --preset default >/dev/null
    cmake --build --preset default
    exec ctest --preset vm
fi
if [ "$preset" = packages ]; then
    scripts/package.sh
    scripts/setup.sh systemd
    cmake --preset default >/dev/null
    cmake --build --preset default
    exec ctest --preset packages
fi
if [ "$preset" = systemd ]; then
    scripts/setup.sh systemd
    cmake --preset default >/dev/null
    cmake --build --preset default
    exec ctest --preset systemd
fi
scripts/setup.sh "$preset"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# Most tests wait (for answers, timeouts, the supervisor): three at a time
# on two cores, the longest first. Under user-mode emulation they compute
# (every instruction emulated): two.
jobs=3
[ "$preset" = armhf ] && jobs=2
ctest --preset "$preset" -j"$jobs"
