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
#
# With DEB_DIR, the same in a fresh copy of the system with the amd64
# packages installed there by apt instead (the service enabled and started
# by them), then: the installed housectl and init script run, an upgrade
# to a newer version leaves one daemon answering, and a purge leaves no
# file and no unit behind.
#   systemd_test.sh BUILD_DIR PROBE_CLIENT ROOT [DEB_DIR]
set -eu
exec unshare -n -m --propagation private sh -s "$@" <<'INNER'
set -eu
build=$1 probe=$2 root=$3 debs=${4:-}
unit=/usr/lib/systemd/system/discovery-daemon.service
ip link set lo up
if [ -n "$debs" ]; then
    unit=/lib/systemd/system/discovery-daemon.service
    fresh=$root.packages
    rm -rf "$fresh"
    cp -a "$root" "$fresh"
    root=$fresh
    mkdir -p "$root/var/tmp/debs"
    cp "$debs"/*_amd64.deb "$root/var/tmp/debs/"
    # No conffile of ours left in the system by the unit's own test, which
    # installs there: a system that never had them (dpkg would ask).
    for deb in "$debs"/*_amd64.deb; do
        for f in $(dpkg-deb --info "$deb" conffiles 2>/dev/null); do rm -f "$root$f"; done
    done
else
    DESTDIR=$root cmake --install "$build" >/dev/null
fi

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
    rm -f "$log" "$log.before"
    [ -z "${fresh:-}" ] || rm -rf "$fresh"
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
# The container's init, and a way in: nspawn's child in a process namespace
# of its own (a short-lived helper of nspawn's may come first, in ours),
# looked for again whenever the one known is gone.
container_init() {
    for c in $(cat /proc/$nspawn/task/$nspawn/children 2>/dev/null); do
        ns=$(readlink "/proc/$c/ns/pid" 2>/dev/null) || continue
        [ "$ns" != "$(readlink /proc/self/ns/pid)" ] && { echo "$c"; return 0; }
    done
    return 1
}
leader=""
for _ in $(seq 300); do
    leader=$(container_init) && break
    sleep 0.1
done
[ -n "$leader" ] || fail "the container did not start"
# This script is the shell's standard input: nothing run in the container
# may read from it.
in_ct() {
    [ -e "/proc/$leader/ns/user" ] || leader=$(container_init) || return 1
    nsenter -t "$leader" -a "$@" </dev/null
}
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

if [ -n "$debs" ]; then
    # Without recommends, the daemon's package brings none of our libraries.
    in_ct sh -c 'apt-get install -s --no-install-recommends /var/tmp/debs/discovery-daemon_*.deb' >"$log" 2>&1 ||
        fail "apt install -s: $(tail -n 5 "$log")"
    ! grep -q '^Inst ip-house-platform' "$log" || fail "ip-house-platform without recommends: $(grep '^Inst' "$log")"
    # What 1.0.0 left under systemd: the dynamic user's state directory,
    # the run-time file in it.
    in_ct sh -c 'rm -rf /var/lib/discovery* /var/lib/private/discovery* &&
        mkdir -p -m 0700 /var/lib/private && mkdir /var/lib/private/discovery &&
        echo 3000000000 > /var/lib/private/discovery/instance-id &&
        echo "name = Kept" > /var/lib/private/discovery/discovery.conf &&
        ln -s private/discovery /var/lib/discovery'
    files_before=$(in_ct sh -c 'find / -xdev \( -path /var/tmp/debs -o -path /proc \) -prune -o -print | sort')
    in_ct sh -c 'apt-get install -y -q /var/tmp/debs/*.deb' >"$log" 2>&1 || fail "apt install: $(tail -n 5 "$log")"
    # Upgraded: the run-time file where it was, in a directory that is
    # root's alone; the state the daemon's own, moved on.
    [ "$(in_ct stat -c '%u %a %F' /var/lib/discovery)" = "0 755 directory" ] ||
        fail "/var/lib/discovery: $(in_ct stat -c '%u %a %F' /var/lib/discovery)"
    [ "$(in_ct cat /var/lib/discovery/discovery.conf)" = "name = Kept" ] || fail "the run-time file was not kept"
    in_ct systemctl is-enabled discovery-daemon >/dev/null || fail "the service is not enabled"
    out=$(in_ct housectl -a 2>&1) && fail "housectl without a controller: $out"
    [ "$out" = "housectl: can't open device!" ] || fail "housectl: $out"
    in_ct id discovery >/dev/null || fail "no user discovery"
fi
in_ct systemctl daemon-reload
in_ct systemctl start discovery-daemon
sleep 3
t0=$(now)
in_ct ip addr add 10.77.0.2/24 dev host0
in_ct ip route add 224.0.0.0/4 dev host0
answered_within_15s "$t0" "the address came"
"$probe" 1 "ff02::c%$ve" >/dev/null || fail "no answer over IPv6"
if [ -n "$debs" ]; then
    # The InstanceId went on from the one 1.0.0 kept, in the daemon's own
    # state directory.
    in_ct sh -c '[ "$(cat /var/lib/discovery-daemon/instance-id)" = 3000000001 ] &&
        [ "$(stat -c %U /var/lib/private/discovery-daemon)" != root ] && [ ! -e /var/lib/private/discovery ]' ||
        fail "the state: $(in_ct ls -lR /var/lib/private /var/lib/discovery-daemon/ 2>&1)"
fi

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
[ -n "$debs" ] || exit 0

# The init script, handed over to systemd; then an upgrade of the running
# daemon: one daemon after it, answering once.
in_ct /etc/init.d/discovery-daemon start
answered_within_15s "$(now)" "started by the init script"
old=$(in_ct systemctl show -p MainPID --value discovery-daemon)
# What an older daemon's user left in the run-time directory: the file
# its own, a link planted for root's next write.
in_ct sh -c 'chown discovery /var/lib/discovery/discovery.conf &&
    ln -s /etc/shadow /var/lib/discovery/discovery.conf.new'
in_ct sh -c 'cd /var/tmp/debs && dpkg-deb -R discovery-daemon_*_amd64.deb new &&
    sed -i "s/^Version: .*/&+1/" new/DEBIAN/control && dpkg-deb -b new newer.deb >/dev/null &&
    dpkg -i newer.deb >/dev/null' || fail "the upgrade"
answered_within_15s "$(now)" "upgraded"
[ "$(in_ct sh -c 'ls -A /var/lib/discovery; stat -c %U /var/lib/discovery/discovery.conf')" = "discovery.conf
root" ] || fail "the run-time directory after the upgrade: $(in_ct ls -la /var/lib/discovery)"
sleep 2
daemons=$(in_ct sh -c 'for p in /proc/[0-9]*; do case "$(readlink $p/exe)" in /usr/sbin/discovery-daemon*) echo $p;; esac; done')
[ "$(echo "$daemons" | wc -w)" -eq 1 ] || fail "daemons after the upgrade: $daemons"
[ "$(in_ct systemctl show -p MainPID --value discovery-daemon)" != "$old" ] || fail "not restarted by the upgrade"
[ "$("$probe" 1 | wc -l)" -eq 1 ] || fail "not one answer after the upgrade"

# Purged: no file of theirs, no unit, no state; the system user stays.
in_ct apt-get purge -y -q housectl discovery-daemon ip-house-platform >"$log" 2>&1 || fail "apt purge"
echo "$files_before" > "$log.before"
left=$(in_ct sh -c 'find / -xdev \( -path /var/tmp/debs -o -path /proc \) -prune -o -print | sort' |
       diff "$log.before" - | sed -n 's/^> //p' |
       grep -Ev '^/(var/(lib/(dpkg|apt|systemd/deb-systemd)|cache|log)|etc/(passwd|group|shadow|gshadow|subuid|subgid)-?$|etc/ld.so.cache$)' || true)
[ -z "$left" ] || fail "left after purge: $left"
in_ct systemctl list-unit-files discovery-daemon.service | grep -q discovery-daemon && fail "a unit left after purge"
echo "systemd: packages installed, init script, upgrade, purge"
INNER
