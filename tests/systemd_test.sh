#!/bin/sh
# The installed systemd unit in a Debian 12 system booted with systemd in a
# container (systemd-nspawn), reached over a veth pair from a network
# namespace of the test's own: started while the container's link has no
# address, the daemon answers as soon as it has one; killed, it comes back;
# stopped, nothing is left and nothing comes back. It runs as a dynamic
# user without capabilities under seccomp, the unit rates "OK" with
# systemd-analyze security, and a reload announces the device with the
# description written at run time. The
# container is gone at the end, whatever happens.
#   systemd_test.sh BUILD_DIR PROBE_CLIENT ROOT
set -eu
exec unshare -n -m --propagation private sh -s "$@" <<'INNER'
set -eu
build=$1 probe=$2 root=$3
unit=/usr/lib/systemd/system/discovery-daemon.service
ip link set lo up
DESTDIR=$root cmake --install "$build" >/dev/null

log=$(mktemp)
nspawn=0
finish() {
    status=$?
    set +e
    if [ "$nspawn" -gt 0 ]; then
        kill -TERM "$nspawn" 2>/dev/null
        for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$nspawn" 2>/dev/null
    fi
    [ "$status" -eq 0 ] || tail -n 20 "$log"
    rm -f "$log"
    exit "$status"
}
trap finish EXIT
fail() {
    echo "FAIL: $*"
    [ -z "${leader:-}" ] || in_ct journalctl --no-pager -n 30 -u discovery-daemon 2>&1
    exit 1
}
now() { read -r up _ < /proc/uptime; echo "$up"; }
since() { echo "$(now) $1" | awk '{ printf "%.1f", $1 - $2 }'; }
answered_within_15s() {
    while ! "$probe" 0.5 >/dev/null; do
        [ "$(since "$1" | cut -d. -f1)" -lt 15 ] || fail "$2: no answer within 15 s"
    done
    echo "systemd: $2: answered $(since "$1") s after"
}

systemd-nspawn --boot --register=no --keep-unit --network-veth --machine=house-test \
    -D "$root" </dev/null >"$log" 2>&1 &
nspawn=$!
# The container's init, and a way in.
leader=""
for _ in $(seq 300); do
    leader=$(cat /proc/$nspawn/task/$nspawn/children 2>/dev/null | cut -d' ' -f1)
    [ -n "$leader" ] && break
    sleep 0.1
done
[ -n "$leader" ] || fail "the container did not start"
in_ct() { nsenter -t "$leader" -a "$@"; }
booted=""
for _ in $(seq 1200); do
    case "$(in_ct systemctl is-system-running 2>/dev/null)" in running|degraded) booted=1; break ;; esac
    sleep 0.1
done
if [ -z "$booted" ]; then
    in_ct systemctl list-jobs --no-pager 2>&1 | head -n 20
    fail "the container did not boot within 120 s: $(in_ct systemctl is-system-running 2>&1)"
fi

# The link, up on both sides; the container's end without its address.
ve=$(ip -o link show type veth 2>/dev/null | awk -F': ' '{ print $2 }' | cut -d@ -f1)
ip addr add 10.77.0.1/24 dev "$ve"
ip link set "$ve" up
ip route add 224.0.0.0/4 dev "$ve"
in_ct ip link set host0 up

in_ct systemctl daemon-reload
in_ct systemctl start discovery-daemon
sleep 3
t0=$(now)
in_ct ip addr add 10.77.0.2/24 dev host0
in_ct ip route add 224.0.0.0/4 dev host0
answered_within_15s "$t0" "the address came"

pid=$(in_ct systemctl show -p MainPID --value discovery-daemon)
[ "$pid" -gt 0 ] || { in_ct systemctl status --no-pager discovery-daemon; fail "no main process"; }
in_ct sh -c "grep -E '^(Uid|CapEff|CapBnd|NoNewPrivs|Seccomp):' /proc/$pid/status" > /tmp/status.$$
echo "systemd: the daemon's $(tr '\n\t' '  ' < /tmp/status.$$)"
awk '/^Uid:/ { exit !($2 != 0) } /^Cap(Eff|Bnd):/ { if ($2 !~ /^0+$/) exit 1 }
     /^NoNewPrivs:/ { if ($2 != 1) exit 1 } /^Seccomp:/ { if ($2 != 2) exit 1 }' /tmp/status.$$ ||
    fail "not confined: $(cat /tmp/status.$$)"
rm -f /tmp/status.$$

rating=$(in_ct systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level.*: \([0-9.]*\) .*/\1/p')
echo "systemd: security exposure $rating"
awk -v r="$rating" 'BEGIN { exit !(r != "" && r <= 2.0) }' || fail "exposure $rating"

# The run-time description, written by root beside the daemon's state,
# then a reload: the Hello names the device anew.
in_ct sh -c 'printf "name = Reloaded\n" > /var/lib/discovery/discovery.conf'
"$probe" -s 3 hello > /tmp/hello.$$ &
listener=$!
sleep 0.5
in_ct systemctl reload discovery-daemon
wait "$listener" || fail "no Hello after reload"
grep -q 'onvif://www.onvif.org/name/Reloaded' /tmp/hello.$$ || fail "the Hello after reload: $(cat /tmp/hello.$$)"
echo "systemd: reload: Hello with the scopes $(head -n 1 /tmp/hello.$$)"
rm -f /tmp/hello.$$

t0=$(now)
in_ct sh -c "kill -KILL $pid"
answered_within_15s "$t0" "SIGKILL"
[ "$(in_ct systemctl show -p MainPID --value discovery-daemon)" != "$pid" ] || fail "the same daemon after SIGKILL"

in_ct systemctl stop discovery-daemon
[ "$(in_ct systemctl show -p MainPID --value discovery-daemon)" = 0 ] || fail "a main process after stop"
in_ct sh -c 'for p in /proc/[0-9]*; do [ "$(readlink $p/exe)" = /usr/sbin/discovery-daemon ] && exit 1; done; exit 0' ||
    fail "a daemon left after stop"
sleep 12
"$probe" 1 >/dev/null && fail "answered 12 s after stop"
echo "systemd: start without an address, confinement, rating, reload, SIGKILL, stop"
INNER
