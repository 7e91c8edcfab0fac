#!/usr/bin/env bash
# A site of many cameras: N devices (default 250) on one bridge, each in a
# network and mount namespace of its own with its own machine-id and state
# directory, running the built daemon, and one client namespace on the
# bridge. For one Probe each, it prints how many devices each real client
# finds (onvif-util -a, the npm onvif and node-onvif clients) and a raw
# reader, the spread of the answer times the raw reader saw, the clients'
# receive-buffer drops, and the memory of the N daemons. Everything is
# made inside namespaces of its own, and is gone at the end, interrupted
# or not. DAEMON names another build's daemon to compare.
#   bench/site.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-250}
[ "$count" -ge 1 ] && [ "$count" -le 4000 ] || { echo "site: 1 to 4000 devices" >&2; exit 2; }

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target discovery-daemon probe_client >/dev/null

# A private mount namespace: the namespaces' names (/run/netns) and the
# devices' state never show on the machine.
exec unshare -m --propagation private bash -s "$count" <<'INNER'
set -euo pipefail
count=$1
mount -t tmpfs tmpfs /run/netns 2>/dev/null || { mkdir -p /run/netns && mount -t tmpfs tmpfs /run/netns; }
state=$(mktemp -d)
mount -t tmpfs tmpfs "$state"
daemon=${DAEMON:-$PWD/build/default/discovery-daemon/discovery-daemon}
reader=$PWD/build/default/tests/probe_client
pids=()
cleanup() {
    for p in "${pids[@]}"; do [ "$p" -gt 0 ] && kill -TERM "$p" 2>/dev/null; done
    sleep 0.5
    for p in "${pids[@]}"; do [ "$p" -gt 0 ] && kill -KILL "$p" 2>/dev/null; done
    for f in /run/netns/*; do [ -e "$f" ] && ip netns del "${f##*/}" 2>/dev/null; done
    umount "$state" 2>/dev/null; rmdir "$state" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The bridge, in the client's namespace.
ip netns add client
ip -n client link set lo up
ip -n client link add br0 type bridge
ip -n client addr add 10.80.255.1/16 dev br0
ip -n client link set br0 up
ip -n client route add 224.0.0.0/4 dev br0
start=$(date +%s.%N)
for i in $(seq "$count"); do
    ns=d$i
    ip netns add "$ns"
    ip -n client link add "p$i" type veth peer name eth0 netns "$ns"
    ip -n client link set "p$i" master br0 up
    ip -n "$ns" link set lo up
    ip -n "$ns" addr add "10.80.$((i / 200)).$((i % 200 + 10))/16" dev eth0
    ip -n "$ns" link set eth0 up
    ip -n "$ns" route add 224.0.0.0/4 dev eth0
    # Its own identity and state, in a mount namespace of its own.
    mkdir -p "$state/$i/lib/dbus"
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' > "$state/$i/lib/dbus/machine-id"
    ip netns exec "$ns" sh -c "mount --bind '$state/$i/lib' /var/lib &&
        { [ ! -e /etc/machine-id ] || mount --bind /var/lib/dbus/machine-id /etc/machine-id; } &&
        exec '$daemon'"
done
sleep 1
for f in /run/netns/d*; do
    for p in $(ip netns pids "${f##*/}"); do pids+=("$p"); done
done
printf 'site: %d devices up in %.1f s, %d daemons running\n' "$count" \
    "$(echo "$(date +%s.%N) $start" | awk '{ print $1 - $2 }')" "${#pids[@]}"
sleep 2  # past the Hellos

drops() { ip netns exec client awk '/^Udp:/ { n++; if (n == 1) for (i = 1; i <= NF; i++) k[i] = $i;
          else for (i = 1; i <= NF; i++) if (k[i] == "RcvbufErrors") print $i }' /proc/net/snmp; }
run() {  # name, command printing what it found
    local before out found
    before=$(drops)
    out=$(ip netns exec client "${@:2}" 2>/dev/null || true)
    echo "$out" > "$state/$1.out"
    case $1 in
    onvif-util) found=$(sed -n 's/^Found \([0-9]*\) cameras$/\1/p' <<<"$out") ;;
    *) found=$(grep -c . <<<"$out" || true) ;;
    esac
    printf '%-12s %5d of %d found, %5d receive-buffer drops\n' "$1" "${found:-0}" "$count" \
        "$(( $(drops) - before ))"
    sleep 2
}
echo
run raw "$reader" -t 2
run onvif sh -c "cd tests/interop && node discover.js onvif"
run node-onvif sh -c "cd tests/interop && node discover.js node-onvif"
# onvif-util keeps at most 128 answers (8 KiB each); the 129th lands past
# them, it stops reading, says "Found 129 cameras" and then crashes.
run onvif-util timeout 30 onvif-util -a
sort -n "$state/raw.out" | awk '{ t[NR] = $1 } END { if (NR)
    printf "\nanswer times (raw reader): first %.0f ms, median %.0f ms, last %.0f ms\n", t[1], t[int((NR + 1) / 2)], t[NR] }'
# Resident memory, and each daemon's proportional share of it (shared
# library pages split among the processes that map them).
for p in "${pids[@]}"; do
    cat "/proc/$p/smaps_rollup" 2>/dev/null
done | awk -v n="${#pids[@]}" '/^Rss:/ { rss += $2 } /^Pss:/ { pss += $2 }
    END { printf "memory: %d daemons, %d KiB resident each, %d KiB proportional each, %.1f MiB in all\n",
                 n, rss / n, pss / n, pss / 1024 }'
INNER
