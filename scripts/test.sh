#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   scripts/test.sh          the release build
#   scripts/test.sh asan     the AddressSanitizer + UBSan build
#   scripts/test.sh armhf    the device build, cross-compiled, run under qemu-user
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/setup.sh "$preset"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
