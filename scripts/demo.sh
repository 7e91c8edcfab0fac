#!/usr/bin/env bash
# Sets up, builds, and prints the full JSON report of a simulated housing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
exec build/default/sim/housesim -- build/default/housectl/housectl -a
