#!/usr/bin/env bash
# Installs what the build and the tests need, once: Debian 12 packages, and
# the ONVIF clients the interoperability tests drive, from their lock file.
#   scripts/setup.sh          for the build machine's own builds
#   scripts/setup.sh armhf    also the cross compiler, qemu-user and the
#                             device's libraries (Debian multiarch)
#   scripts/setup.sh vm       also what the emulated device needs: the
#                             full-system emulator, the clients of its
#                             network test, and the device's kernel and
#                             busybox, unpacked under build/device/debs
#   scripts/setup.sh systemd  also a Debian 12 system with systemd to boot in
#                             a container, under build/systemd/root
#   scripts/setup.sh packages also what building the Debian packages needs,
#                             natively and cross for armhf, and lintian
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}

packages=(cmake ninja-build g++ gcc libgtest-dev jq libexpat1-dev iproute2 clang-14 libclang-rt-14-dev groff-base
          onvif-tools busybox nmap nftables)
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

if [ "$mode" = armhf ] || [ "$mode" = vm ] || [ "$mode" = packages ]; then
    packages+=(g++-arm-linux-gnueabihf lld qemu-user libgtest-dev:armhf libexpat1-dev:armhf)
    dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
fi
if [ "$mode" = vm ]; then
    packages+=(qemu-system-arm cpio)
fi
if [ "$mode" = systemd ]; then
    packages+=(mmdebstrap systemd-container)
fi
if [ "$mode" = packages ]; then
    packages+=(build-essential dpkg-dev debhelper lintian crossbuild-essential-armhf)
fi

# The package lists. A mirror that serves one index badly (one
# architecture's security updates, say) fails the whole update: what the
# other lists hold may still be all that is needed, and the install says
# so clearly if it is not.
update_lists() {
    apt-get update -qq || echo "setup: apt-get update reported errors; going on with the lists it has" >&2
}

# The device's libraries are multiarch twins of this machine's: an armhf
# package installs only at the very version of its amd64 twin. When the
# mirror serves the security updates for amd64 but not for armhf, the
# twins differ and nothing installs. Then both come from the release and
# its updates alone, the amd64 twins moved to those versions (a downgrade
# where a security update was installed), and the setup says so.
install_from_main() {
    [ -n "$(dpkg --print-foreign-architectures)" ] || return 1
    local codename pins
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    pins=$(mktemp)
    printf 'Package: *\nPin: release n=%s\nPin-Priority: -1\n\n' "$codename-security" >"$pins"
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n\n' "$codename" "$codename-updates" >>"$pins"
    echo "setup: the packages above do not install with this mirror's lists; installing them from" \
         "$codename and $codename-updates alone, this machine's twins of armhf libraries at the same versions" >&2
    apt-get install -y -qq --no-install-recommends --allow-downgrades \
        -o Dir::Etc::Preferences="$pins" "$@"
    local status=$?
    rm -f "$pins"
    return $status
}

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    update_lists
    apt-get install -y -qq --no-install-recommends "${missing[@]}" || install_from_main "${missing[@]}"
fi

interop=tests/interop
if [ ! -d "$interop/node_modules/onvif" ] || [ ! -d "$interop/node_modules/node-onvif" ] ||
   [ "$interop/package-lock.json" -nt "$interop/node_modules/.package-lock.json" ]; then
    echo "setup: installing the ONVIF clients for the interoperability tests"
    (cd "$interop" && npm ci --no-audit --no-fund --loglevel=error)
fi

# The device's kernel and busybox are armhf packages: unpacked, never
# installed on this machine. The kernel is found through its meta-package,
# as the versioned package name changes with updates.
if [ "$mode" = vm ]; then
    debs=build/device/debs
    mkdir -p "$debs"
    kernel=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
             sed -n 's/^ *Depends: \(linux-image-[0-9].*-armmp\).*/\1/p' | head -n 1)
    if [ -z "$kernel" ]; then
        update_lists
        kernel=$(apt-cache depends linux-image-armmp:armhf |
                 sed -n 's/^ *Depends: \(linux-image-[0-9].*-armmp\).*/\1/p' | head -n 1)
    fi
    [ -n "$kernel" ] || { echo "setup: no kernel behind linux-image-armmp:armhf" >&2; exit 1; }
    for pkg in "$kernel" busybox-static; do
        dir=$debs/$pkg
        [ -d "$dir" ] && continue
        echo "setup: unpacking $pkg:armhf for the emulated device"
        rm -rf "$debs/download" && mkdir -p "$debs/download"
        (cd "$debs/download" && apt-get download -q "$pkg:armhf" >/dev/null 2>&1) ||
            { update_lists; (cd "$debs/download" && apt-get download -q "$pkg:armhf"); }
        dpkg-deb -x "$debs"/download/*.deb "$dir.tmp"
        mv "$dir.tmp" "$dir"
        rm -rf "$debs/download"
    done
    ln -sfn "$kernel" "$debs/kernel"
fi

# The container's system: Debian's own packages, made once.
if [ "$mode" = systemd ] && [ ! -x build/systemd/root/usr/sbin/adduser ]; then
    echo "setup: making a Debian 12 system with systemd under build/systemd/root"
    rm -rf build/systemd
    mkdir -p build/systemd
    # From this machine's own Debian sources.
    sources=()
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && grep -q '^[^#]*debian' "$f" && sources+=("$f")
    done
    mmdebstrap --quiet --variant=minbase --include=systemd,systemd-sysv,iproute2,udev,libexpat1,adduser \
        bookworm build/systemd/root.tmp "${sources[@]}"
    # Its identity now, so that no boot of it is a first boot with its own
    # set-up steps and timing.
    printf '%s\n' "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" > build/systemd/root.tmp/etc/machine-id
    mv build/systemd/root.tmp build/systemd/root
fi
