#!/bin/busybox sh
# /init of the emulated device: a busybox system with the project installed
# as on the device, syslog running, the network card up, and a shell on the
# console. "house.test" on the kernel command line makes the console a
# quiet control channel for the test suite: no echo, no CR added, a marker
# when the device is ready.
/bin/busybox --install -s
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
echo 1 > /proc/sys/kernel/printk
hostname ip-house

while read -r module; do
    insmod "/lib/modules/$module"
done < /lib/modules/load.order

# The device's link: its own address, and the discovery group routed there.
ip link set lo up
ip link set eth0 up 2>/dev/null
ip addr add 10.78.0.2/24 dev eth0 2>/dev/null
ip route add 224.0.0.0/4 dev eth0 2>/dev/null

syslogd -O /var/log/messages

# The console's shell is a child of init, not init itself: init stays this
# script, which reaps what is orphaned to it (the daemon detaches; `start`
# leaves its init script's supervisor behind). With an interactive shell as
# init, killing the detached daemon now and then took the whole device down
# without a word. When the shell ends, the device powers off.
if grep -q house.test /proc/cmdline; then
    stty -echo -onlcr
    PS1=''
    export PS1
    echo "@@READY"
    sh
    poweroff -f
fi
cat <<'BANNER'

The emulated IP house controller board. The simulated housing controller
is on /dev/ttyS0; try:  housectl -q; housectl -a; housectl -lpower=40 -l
The daemon:  /etc/init.d/discovery-daemon start   (its log: /var/log/messages)
Leave with:  poweroff -f
BANNER
setsid cttyhack sh -l
poweroff -f
