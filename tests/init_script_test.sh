#!/bin/sh
# The init script starts, finds, reloads and stops the built daemon, in a
# private network and process namespace (other tests run the same daemon):
#   init_script_test.sh INIT_SCRIPT DAEMON
set -eu
exec unshare -n -m -p -f --mount-proc sh -s "$@" <<'INNER'
set -eu
init=$1
export DAEMON=$2
mount -t tmpfs tmpfs /var/lib  # the daemon's state: the test's own
ip link set lo up
ip route add 224.0.0.0/4 dev lo src 127.0.0.1
sh "$init" status >/dev/null && { echo "running before start"; exit 1; }
sh "$init" start
sh "$init" start  # a second start leaves the one daemon alone
[ "$(sh "$init" status | wc -w)" -eq 4 ] || { sh "$init" status; exit 1; }
sh "$init" reload
sh "$init" stop
if sh "$init" status >/dev/null; then echo "still running after stop"; exit 1; fi
echo "init script: start, status, reload, stop"
INNER
