#!/usr/bin/env bash
# Our WS-Discovery responder against two peers from Debian, wsdd2 and wsdd,
# and against the floor: a bare responder that receives each Probe and sends
# a canned answer, so about the kernel's own cost. Each runs alone in a
# network namespace of its own, reached over a veth pair from a client
# namespace where the load generator runs.
#   bench/discovery.sh [probes per responder, default 2000] [idle seconds, default 10]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-2000}
idle=${2:-10}

scripts/setup.sh
for p in wsdd wsdd2; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p" >/dev/null
done
cmake --preset default >/dev/null
cmake --build --preset default --target discovery-daemon probe_load bare_responder >/dev/null

# Everything below happens in a private mount namespace, so the network
# namespaces' names never show on the machine.
exec unshare -m --propagation private bash -s "$count" "$idle" <<'INNER'
set -euo pipefail
count=$1 idle=$2
# The daemon keeps its InstanceId under /var/lib: an empty one of this run's.
mount -t tmpfs tmpfs /var/lib
# Namespace names are files under /run/netns on the real file system:
# unique to this run, and removed at its end.
run_id=$$
trap 'for f in /run/netns/*-bench$run_id; do ip netns del "${f##*/}" 2>/dev/null || rm -f "$f"; done' EXIT
pair() {  # the responder's namespace r-$1 and the client's c-$1, joined by veth
    ip netns add "r-$1"; ip netns add "c-$1"
    ip link add r0 netns "r-$1" type veth peer name c0 netns "c-$1"
    ip -n "r-$1" addr add 10.79.0.1/24 dev r0
    ip -n "c-$1" addr add 10.79.0.2/24 dev c0
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
run() {  # namespace suffix, Probe form
    sleep 1  # let the responder settle after its start-up announcements
    ip netns exec "c-$1" build/default/bench/probe_load "$2" "$count" "$pid" "$idle" "${1%%-*}" || true
    kill "$pid" 2>/dev/null || true
}

printf '%-18s %13s %10s %9s %9s %12s %8s %10s\n' responder answered probes/s \
    'p50 us' 'p99 us' 'cpu us/probe' 'rss KiB' 'idle wk/s'
{
    n=bench$run_id
    pair ours-$n; ip netns exec r-ours-$n build/default/discovery-daemon/discovery-daemon
    pid=$(waitpid_of r-ours-$n discovery-daemo); run ours-$n onvif
    pair wsdd2-$n; ip netns exec r-wsdd2-$n wsdd2 -w -4 -u -i r0 >/dev/null 2>&1 &
    pid=$(waitpid_of r-wsdd2-$n wsdd2); run wsdd2-$n wsdd2
    pair wsdd-$n; ip netns exec r-wsdd-$n wsdd -4 -i r0 -s >/dev/null 2>&1 &
    pid=$(waitpid_of r-wsdd-$n python); run wsdd-$n wsdd
    pair floor-$n; ip netns exec r-floor-$n build/default/bench/bare_responder &
    pid=$(waitpid_of r-floor-$n bare_responder); run floor-$n onvif
} | tee /tmp/discovery-bench.$$
awk 'NR==FNR { rate[$1] = $3; cpu[$1] = $6; wake[$1] = $8; next } END {
    printf "\nours / wsdd2: %.2fx the answer rate, %.2fx the CPU per Probe\n", rate["ours"] / rate["wsdd2"], cpu["ours"] / cpu["wsdd2"]
    printf "ours / wsdd:  %.2fx the answer rate, %.2fx the CPU per Probe\n", rate["ours"] / rate["wsdd"], cpu["ours"] / cpu["wsdd"]
    printf "ours idle:    %.2f wake-ups a second\n", wake["ours"]
    printf "\nCPU per Probe against the floor (a bare receive and send):\n"
    printf "  ours %.2fx, wsdd2 %.2fx, wsdd %.2fx\n", cpu["ours"] / cpu["floor"], cpu["wsdd2"] / cpu["floor"], cpu["wsdd"] / cpu["floor"]
}' /tmp/discovery-bench.$$ /dev/null
rm -f /tmp/discovery-bench.$$
INNER
