#!/bin/sh
# Runs a program built for the device under qemu-user, inside namespaces
# made here, natively: qemu-user cannot make them itself (unshare crashes,
# the child-subreaper setting is not emulated).
#
#   emulated.sh QEMU_COMMAND... -- PROGRAM [ARGUMENT...]
#
# The program gets a private mount namespace with a private /dev (and a
# place for /dev/ttyS0), a private network with loopback up and the
# multicast range routed over it, and a private process namespace in which
# it is process 1, so detached daemons come back to it as their parent.
# HOUSE_TEST_NAMESPACES=1 tells the tests these are made.
set -eu
exec unshare -m -n -p -f --mount-proc --propagation private sh -s "$@" <<'INNER'
set -eu
ip link set lo up
ip route add 224.0.0.0/4 dev lo src 127.0.0.1
dev=$(mktemp -d)
mount -t tmpfs -o mode=755 tmpfs "$dev"
for node in null zero full random urandom; do
    : > "$dev/$node"
    mount --bind "/dev/$node" "$dev/$node"
done
: > "$dev/ttyS0"
ln -s /proc/self/fd "$dev/fd"
mount --move "$dev" /dev
rmdir "$dev"
# Pseudo-terminals of our own.
mkdir /dev/pts
mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts
ln -s pts/ptmx /dev/ptmx
export HOUSE_TEST_NAMESPACES=1
qemu=""
while [ "$1" != "--" ]; do qemu="$qemu $1"; shift; done
shift
exec $qemu "$@"
INNER
