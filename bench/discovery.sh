#!/usr/bin/env bash
# Our WS-Discovery responder against two peers from Debian, wsdd2 and wsdd,
# and against the floor: a bare responder that receives each Probe and sends
# a canned answer, so about the kernel's own cost. Each runs alone in a
# network namespace of its own, reached over a veth pair from a client
# namespace where the load generator runs, with Probes sent to the
# responder's own address, answered at once (ours holds an answer to the
# group back by a random delay, on purpose). wsdd answers no Probe sent to
# its address: it gets Probes to the group, which it answers at once. The responders are
# loaded in turn, round after round, and the medians over the rounds are
# compared, so a moment when the machine is busy does not fall on one
# responder alone. The Probes come from 1,000 sender addresses in turn:
# ours answers any one sender only a few times a second. Then one-sender
# floods of ours, each past the sender's shares: distinct Probes, one Probe
# repeated, Probes matching nothing, and those with an XML comment (read by
# the full parser): how many answers each gets, and what a flood datagram
# costs.
#   bench/discovery.sh [probes per responder and round, default 2000]
#                      [idle seconds, default 10] [rounds, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-2000}
idle=${2:-10}
rounds=${3:-5}

scripts/setup.sh
for p in wsdd wsdd2; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p" >/dev/null
done
cmake --preset default >/dev/null
cmake --build --preset default --target discovery-daemon probe_load bare_responder >/dev/null

# Everything below happens in a private mount namespace, so the network
# namespaces' names never show on the machine.
exec unshare -m --propagation private bash -s "$count" "$idle" "$rounds" <<'INNER'
set -euo pipefail
count=$1 idle=$2 rounds=$3
# The daemon keeps its InstanceId under /var/lib: an empty one of this run's.
mount -t tmpfs tmpfs /var/lib
# Namespace names are files under /run/netns on the real file system:
# unique to this run, and removed at its end.
run_id=$$
# The responders, by name; each is stopped at the end.
declare -A pid=()
trap 'for p in "${pid[@]}"; do [ "$p" -gt 0 ] && kill "$p" 2>/dev/null; done
      for f in /run/netns/*-bench$run_id; do ip netns del "${f##*/}" 2>/dev/null || rm -f "$f"; done' EXIT
pair() {  # the responder's namespace r-$1 and the client's c-$1, joined by veth
    ip netns add "r-$1"; ip netns add "c-$1"
    ip link add r0 netns "r-$1" type veth peer name c0 netns "c-$1"
    ip -n "r-$1" addr add 10.79.0.1/16 dev r0
    ip -n "c-$1" addr add 10.79.0.2/16 dev c0
    # Permanent neighbours on the responder's side: a thousand addresses
    # resolved one by one would outgrow the kernel's neighbour table.
    local mac i
    mac=$(ip -n "c-$1" -j link show c0 | jq -r '.[0].address')
    for i in $(seq 257 1256); do echo "addr add 10.79.$((i / 256)).$((i % 256))/16 dev c0"; done |
        ip -n "c-$1" -batch -
    for i in $(seq 257 1256); do
        echo "neigh add 10.79.$((i / 256)).$((i % 256)) lladdr $mac dev r0 nud permanent"
    done | ip -n "r-$1" -batch -
    for ns in "r-$1" "c-$1"; do
        ip -n "$ns" link set lo up
        ip -n "$ns" link set "$([ "$ns" = "r-$1" ] && echo r0 || echo c0)" up
        ip -n "$ns" route add 224.0.0.0/4 dev "$([ "$ns" = "r-$1" ] && echo r0 || echo c0)"
    done
}
waitpid_of() {  # the first process in namespace $1 whose name starts with $2
    for _ in $(seq 100); do
        for p in $(ip netns pids "$1"); do
            case "$(cat /proc/$p/comm 2>/dev/null)" in "$2"*) echo "$p"; return;; esac
        done
        sleep 0.05
    done
    echo "bench: $2 did not start" >&2; exit 1
}
load() {  # responder name, Probe form, idle seconds[, where the Probes go]
    ip netns exec "c-$1-$n" build/default/bench/probe_load "$2" "$count" "${pid[$1]}" "$3" "$1" \
        "${4:-10.79.0.1}" 10.79.1.1/1000 || true
}

n=bench$run_id
pair ours-$n; ip netns exec r-ours-$n build/default/discovery-daemon/discovery-daemon
pid[ours]=$(waitpid_of r-ours-$n discovery-daemo)
pair wsdd2-$n; ip netns exec r-wsdd2-$n wsdd2 -w -4 -u -i r0 >/dev/null 2>&1 &
pid[wsdd2]=$(waitpid_of r-wsdd2-$n wsdd2)
pair wsdd-$n; ip netns exec r-wsdd-$n wsdd -4 -i r0 -s >/dev/null 2>&1 &
pid[wsdd]=$(waitpid_of r-wsdd-$n python)
pair floor-$n; ip netns exec r-floor-$n build/default/bench/bare_responder &
pid[floor]=$(waitpid_of r-floor-$n bare_responder)
sleep 1  # let the responders settle after their start-up announcements

printf '%-18s %13s %10s %9s %9s %12s %8s %10s\n' responder answered probes/s \
    'p50 us' 'p99 us' 'cpu us/probe' 'rss KiB' 'idle wk/s'
{
    for round in $(seq "$rounds"); do
        wait_s=0
        [ "$round" = 1 ] && wait_s=$idle  # idle wake-ups are counted once
        load ours onvif "$wait_s"; load wsdd2 wsdd2 "$wait_s"
        load wsdd wsdd "$wait_s" 239.255.255.250; load floor onvif "$wait_s"
    done
    for kind in distinct repeated unmatched commented; do
        sleep 3  # every sender's shares back in full
        ip netns exec "c-ours-$n" build/default/bench/probe_load flood "$count" "${pid[ours]}" 10.79.0.1 "$kind"
    done
} | tee /tmp/discovery-bench.$$
awk -v rounds="$rounds" '
function median(list,   v, k, m, i, j, t) {
    m = split(list, v, " ")
    for (i = 2; i <= m; i++)
        for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return m % 2 ? v[(m + 1) / 2] : (v[m / 2] + v[m / 2 + 1]) / 2
}
$1 == "flood" { kinds[++floods] = $2; flood_sent[$2] = $3; flood_answered[$2] = $4; flood_dropped[$2] = $5
                flood_cpu[$2] = $6; next }
{ rate[$1] = rate[$1] " " $3; cpu[$1] = cpu[$1] " " $6; p50[$1] = p50[$1] " " $4
  if (!($1 in wake)) wake[$1] = $8 }
END {
    printf "\nmedians over %d rounds:\n", rounds
    for (k = 1; k <= 4; k++) {
        r = substr("ours  wsdd2 wsdd  floor", 6 * k - 5, 6); sub(/ +$/, "", r)
        R[r] = median(rate[r]); C[r] = median(cpu[r])
        printf "  %-6s %8.0f probes/s %6.0f us p50 %8.1f cpu us/probe\n", r, R[r], median(p50[r]), C[r]
    }
    printf "\nours / wsdd2: %.2fx the answer rate, %.2fx the CPU per Probe\n", R["ours"] / R["wsdd2"], C["ours"] / C["wsdd2"]
    printf "ours / wsdd:  %.2fx the answer rate, %.2fx the CPU per Probe\n", R["ours"] / R["wsdd"], C["ours"] / C["wsdd"]
    printf "ours idle:    %.2f wake-ups a second\n", wake["ours"]
    printf "\nCPU per Probe against the floor (a bare receive and send):\n"
    printf "  ours %.2fx, wsdd2 %.2fx, wsdd %.2fx\n", C["ours"] / C["floor"], C["wsdd2"] / C["floor"], C["wsdd"] / C["floor"]
    for (k = 1; k <= floods; k++) {
        f = kinds[k]
        printf "\na flood of %d %s Probes from one sender to ours: %d answered, %d dropped by the kernel,\n", flood_sent[f], f, flood_answered[f], flood_dropped[f]
        printf "  %.1f cpu us per flood datagram, %.2fx the floor CPU per Probe, %.2fx the distinct flood\n", flood_cpu[f], flood_cpu[f] / C["floor"], flood_cpu[f] / flood_cpu["distinct"]
    }
}' /tmp/discovery-bench.$$
rm -f /tmp/discovery-bench.$$
INNER
