#!/bin/sh
# A staged install puts the programs, manuals and service files in the usual
# places (the build is configured for the /usr prefix):
#   install_test.sh BUILD_DIR WITH_PLATFORM_LIBS(ON|OFF)
set -eu
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$1" >/dev/null
expected="usr/bin/housectl usr/sbin/discovery-daemon usr/sbin/discovery-diagnose usr/share/man/man1/housectl.1
usr/share/man/man8/discovery-daemon.8 usr/share/man/man8/discovery-diagnose.8 etc/init.d/discovery-daemon
etc/discovery/discovery.conf
usr/lib/systemd/system/discovery-daemon.service"
for f in $expected; do
    [ -e "$stage/$f" ] || { echo "missing: /$f"; find "$stage" -type f; exit 1; }
done
# The run-time description's directory: root's, written by no one else.
[ "$(stat -c '%a %F' "$stage/var/lib/discovery")" = "755 directory" ] || { echo "/var/lib/discovery"; exit 1; }
# The stand-in libraries go to the (multiarch) library directory, or nowhere.
for lib in libonvif.so libkzcommon.so libkzlog-pthread.so; do
    found=$(find "$stage/usr/lib" -name "$lib" | wc -l)
    [ "$found" -eq "$([ "$2" = ON ] && echo 1 || echo 0)" ] || { echo "$lib installed $found times"; exit 1; }
done
[ -x "$stage/etc/init.d/discovery-daemon" ]
! grep -v '^#' "$stage/etc/discovery/discovery.conf"  # defaults only in comments
grep -q '^ExecStart=/usr/sbin/discovery-daemon$' "$stage/usr/lib/systemd/system/discovery-daemon.service"
grep -q 'DAEMON:-/usr/sbin/discovery-daemon}' "$stage/etc/init.d/discovery-daemon"
# Installed programs carry no path into the build tree.
! readelf -d "$stage/usr/sbin/discovery-daemon" | grep -q 'RPATH\|RUNPATH'
echo "installed: $(cd "$stage" && find . -type f -o -type l | sort | tr '\n' ' ')"
