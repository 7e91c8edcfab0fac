#!/usr/bin/env bash
# The long stress run of the discovery daemon:
#   bench/daemon-stress.sh [cycles] [sighups] [datagrams]   (default 200 10000 100000)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target daemon_stress
build/default/bench/daemon_stress "${1:-200}" "${2:-10000}" "${3:-100000}"
