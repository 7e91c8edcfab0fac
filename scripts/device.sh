#!/usr/bin/env bash
# The device without hardware: boots the armhf image in the full-system
# emulator and opens a shell on its console, with the simulated housing
# controller on its /dev/ttyS0. Options are the simulator's (faults,
# --paced); see build/default/sim/housesim --help.
#   bash scripts/device.sh [housesim options]
# Leave the device with `poweroff -f`, or Ctrl-A X.
set -euo pipefail
cd "$(dirname "$0")/.."
{
    scripts/setup.sh vm
    cmake --preset armhf >/dev/null
    cmake --build --preset armhf
    scripts/device-image.sh
    cmake --preset default >/dev/null
    cmake --build --preset default --target housesim
} >&2

tmp=$(mktemp -d)
build/default/sim/housesim "$@" --socket "$tmp/line" >/dev/null &
sim=$!
cleanup() {
    [ "$sim" -gt 0 ] && kill "$sim" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -S "$tmp/line" ] && break; sleep 0.05; done
[ -S "$tmp/line" ] || { echo "device: the simulated controller did not start" >&2; exit 1; }

# The network card is there, cut off from everything (restrict=on).
qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 1 -m 256M -nodefaults \
    -display none -no-reboot -serial mon:stdio \
    -kernel build/device/vmlinuz -initrd build/device/initramfs.cpio.gz \
    -append 'console=ttyAMA0 panic=-1 quiet' \
    -chardev socket,id=line0,reconnect=1,path="$tmp/line" \
    -device pci-serial,chardev=line0,addr=0x10 \
    -netdev user,id=n0,restrict=on -device virtio-net-pci,netdev=n0,romfile=
