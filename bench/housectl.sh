#!/usr/bin/env bash
# housectl at 9600 baud: wall time against the wire-time bound, CPU and RSS.
#   bench/housectl.sh [runs per option, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target housectl_bench >/dev/null
build/default/bench/housectl_bench "${1:-5}"
