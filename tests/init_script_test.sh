#!/bin/sh
# The init script under one shell (dash, or BusyBox ash), in a private
# network, mount and process namespace (other tests run the same daemon,
# and the shells run side by side): started before the network can carry
# the discovery group, the daemon comes as soon as it can and is answering
# Probes; killed, it comes back; its binary replaced as an upgrade does, a
# restart leaves one daemon; stopped, nothing is left and nothing comes
# back. It runs as an unprivileged user, with its state its own, the
# run-time description's directory root's (state an older version kept
# there moves over), and a run-time file it cannot read keeps it hidden.
# With the shell "no-user": a system without the daemon's user, where it
# runs as root and the log says so. The supervisor looks every second here
# (CHECK_S), where the shipped script looks every 5.
#   init_script_test.sh INIT_SCRIPT DAEMON PROBE_CLIENT dash|busybox|no-user
set -eu
exec unshare -n -m -p -f --mount-proc sh -s "$@" <<'INNER'
set -eu
init=$1 probe=$3 shell=$4
export DAEMON=$2 CHECK_S=1
mount -t tmpfs -o mode=755 tmpfs /var/lib  # the daemon's state: the test's own
mount -t tmpfs tmpfs /run      # and the supervisor's
[ -e /dev/log ] && mount --bind /dev/null /dev/log  # the machine's log stays out of it
ip link set lo up
# The supervisor's log lines, caught by a logger of the test's own.
bin=$(mktemp -d)
printf '#!/bin/sh\necho "$*" >> %s/log\n' "$bin" > "$bin/logger"
chmod +x "$bin/logger"
export PATH="$bin:$PATH"

fail() { echo "FAIL ($shell): $*"; exit 1; }
now() { read -r up _ < /proc/uptime; echo "$up"; }
since() { echo "$(now) $1" | awk '{ printf "%.1f", $1 - $2 }'; }
pid_of_daemon() {
    for p in /proc/[0-9]*; do
        case "$(readlink "$p/exe" 2>/dev/null)" in "$DAEMON"|"$DAEMON (deleted)") echo "${p#/proc/}" ;; esac
    done
}
# Probes until one is answered, for up to 15 s; prints how long it took.
answered_within_15s() {
    t0=$1
    while ! "$probe" 0.5 >/dev/null; do
        [ "$(since "$t0" | cut -d. -f1)" -lt 15 ] || fail "$2: no answer within 15 s"
    done
    echo "$shell: $2: answered $(since "$t0") s after"
}
owner_mode() { stat -c '%u %a' "$1"; }

# The daemon runs as nobody, who may not reach the build tree: it and its
# libraries are copied to where all may.
mkdir /run/house
cp "$DAEMON" "$(dirname "$DAEMON")"/../platform/lib*.so /run/house/
chmod 755 /run/house
export DAEMON=/run/house/discovery-daemon LD_LIBRARY_PATH=/run/house

if [ "$shell" = no-user ]; then
    ip route add 224.0.0.0/4 dev lo src 127.0.0.1
    DAEMON_USER=no-such-user sh "$init" start
    answered_within_15s "$(now)" "without its user"
    grep -q 'no user "no-such-user": the daemon runs as root' "$bin/log" || fail "$(cat "$bin/log")"
    sh "$init" stop
    echo "init script: without its user, as root"
    exit 0
fi
[ "$shell" = busybox ] && shell="busybox sh"
export DAEMON_USER=nobody
nobody="setpriv --reuid=nobody --regid=nogroup --clear-groups"

# What an older version left: its state beside the run-time description,
# in a directory of the daemon user's own.
mkdir -m 0755 /var/lib/discovery
echo 3000000000 > /var/lib/discovery/instance-id
chown -R nobody /var/lib/discovery

$shell "$init" status >/dev/null && fail "running before start"
t0=$(now)
$shell "$init" start
$shell "$init" start  # a second start leaves the one supervisor alone
[ "$(since "$t0" | cut -d. -f1)" -lt 1 ] || fail "start held up"
sleep 1.2
status=$($shell "$init" status) && fail "running without a route for the group"
[ "$status" = "discovery-daemon is not running: waiting for the network" ] || fail "$status"
[ -z "$(pid_of_daemon)" ] || fail "a daemon without a route for the group"

# The network comes.
t0=$(now)
ip route add 224.0.0.0/4 dev lo src 127.0.0.1
answered_within_15s "$t0" "the group routed"
[ "$($shell "$init" status | wc -w)" -eq 4 ] || fail "$($shell "$init" status)"
pid=$(pid_of_daemon)
uid=$(awk '/^Uid:/ { print $2 }' "/proc/$pid/status")
[ "$uid" = "$(id -u nobody)" ] || fail "the daemon runs as uid $uid"
$shell "$init" reload
[ "$(pid_of_daemon)" = "$pid" ] || fail "reload restarted the daemon"

# The run-time description's directory and every one above it are root's,
# written by no one else; the daemon's user can make, replace or remove
# nothing there. Its state is its own, the older one moved there.
for d in /var/lib/discovery /var/lib /var; do
    case "$(owner_mode "$d")" in 0\ 7[0145][0145]) ;; *) fail "$d: owner and mode $(owner_mode "$d")" ;; esac
done
[ "$(owner_mode /var/lib/discovery)" = "0 755" ] || fail "/var/lib/discovery: $(owner_mode /var/lib/discovery)"
echo "name = Gate" > /var/lib/discovery/discovery.conf
for try in "touch /var/lib/discovery/x" "ln -sf /etc/shadow /var/lib/discovery/discovery.conf" \
           "mv /var/lib/discovery/discovery.conf /var/lib/discovery/y" "rm -f /var/lib/discovery/discovery.conf"; do
    $nobody sh -c "$try" 2>/dev/null && fail "the daemon's user could: $try"
done
[ "$(ls /var/lib/discovery)" = discovery.conf ] || fail "$(ls -l /var/lib/discovery)"
[ "$(stat -c %U /var/lib/discovery-daemon)" = nobody ] || fail "the state is $(stat -c %U /var/lib/discovery-daemon)'s"
[ "$(cat /var/lib/discovery-daemon/instance-id)" = 3000000001 ] ||
    fail "the InstanceId kept: $(cat /var/lib/discovery-daemon/instance-id)"

# Hidden, it stays hidden when the run-time file becomes unreadable to it
# (written 0600 by root), running and started again.
echo "discoverable = no" > /var/lib/discovery/discovery.conf
sleep 0.3
"$probe" 0.5 >/dev/null && fail "answered when not discoverable"
chmod 0600 /var/lib/discovery/discovery.conf
echo "discoverable = yes" >> /var/lib/discovery/discovery.conf
sleep 0.3
"$probe" 0.5 >/dev/null && fail "answered with the run-time file unreadable"
t0=$(now)
pid=$(pid_of_daemon)
[ "${pid:-0}" -gt 0 ] || fail "no daemon to kill"
kill -KILL "$pid"
while [ -z "$(pid_of_daemon)" ] || [ "$(pid_of_daemon)" = "$pid" ]; do
    [ "$(since "$t0" | cut -d. -f1)" -lt 5 ] || fail "not started again after SIGKILL"
    sleep 0.1
done
sleep 0.5
"$probe" 0.5 >/dev/null && fail "answered when started with the run-time file unreadable"
chmod 0644 /var/lib/discovery/discovery.conf

# An unexpected end, with a hard link to a file of root's planted in the
# daemon's state directory (which its user can do where the kernel's
# fs.protected_hardlinks is 0): the file stays root's.
answered_within_15s "$t0" "SIGKILL, the file readable again"
ln /var/lib/discovery/discovery.conf /var/lib/discovery-daemon/planted
pid=$(pid_of_daemon)
[ "${pid:-0}" -gt 0 ] || fail "no daemon to kill"
t0=$(now)
kill -KILL "$pid"
answered_within_15s "$t0" "SIGKILL"
[ "$(pid_of_daemon)" != "$pid" ] || fail "the same daemon after SIGKILL"
[ "$(owner_mode /var/lib/discovery/discovery.conf)" = "0 644" ] ||
    fail "the linked file after a relaunch: $(owner_mode /var/lib/discovery/discovery.conf)"

# An upgrade renames a new binary over the running one: the daemon is
# still the service's, and a restart leaves exactly one, answering once.
pid=$(pid_of_daemon)
cp "$DAEMON" "$DAEMON.new" && mv "$DAEMON.new" "$DAEMON"
$shell "$init" status >/dev/null || fail "not running after the upgrade: $($shell "$init" status)"
t0=$(now)
$shell "$init" restart || fail "restart after the upgrade"
answered_within_15s "$t0" "restarted after the upgrade"
sleep $((CHECK_S + 1))  # the supervisor's next look
[ "$(pid_of_daemon | wc -l)" -eq 1 ] && [ "$(pid_of_daemon)" != "$pid" ] ||
    fail "daemons after the restart: $(pid_of_daemon), before: $pid"
[ "$("$probe" 1 | wc -l)" -eq 1 ] || fail "not one answer after the restart"

# Stopped: no process of the service left, and none comes back.
$shell "$init" stop
left=$(for p in /proc/[0-9]*; do
           c=$(tr '\0' ' ' < "$p/cmdline" 2>/dev/null) || continue
           case "$c" in *"$init start"*|"sleep "*) echo "$c" ;; esac
       done)
[ -z "$left$(pid_of_daemon)" ] || fail "left after stop: $left $(pid_of_daemon)"
sleep $((2 * CHECK_S + 1))
[ -z "$(pid_of_daemon)" ] || fail "the daemon came back after stop"
"$probe" 1 >/dev/null && fail "answered after stop"
$shell "$init" status >/dev/null && fail "running after stop"
echo "$shell: start, waiting, routed, reload, directories, unreadable file, SIGKILL, stop"
INNER
