#!/usr/bin/env bash
# Builds the emulated device's boot files from the armhf build: the kernel
# (build/device/vmlinuz) and an initramfs (build/device/initramfs.cpio.gz)
# holding busybox, the project installed as on the device (with our
# stand-in platform libraries), and every library the programs need,
# followed through their NEEDED lists from the cross sysroot and the
# multiarch directory.
#   scripts/device-image.sh          (after scripts/setup.sh vm and the armhf build)
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/device
debs=$out/debs
root=$out/root
[ -d "$debs/kernel" ] && [ -d "$debs/busybox-static" ] ||
    { echo "device-image: run scripts/setup.sh vm first" >&2; exit 1; }
[ -x build/armhf/housectl/housectl ] ||
    { echo "device-image: build the armhf preset first" >&2; exit 1; }

rm -rf "$root"
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,lib,proc,sys,dev,tmp,run,var/log,var/lib,etc,root}

# The users: root, and the discovery daemon's own (its init script runs it
# as that user and gives it /var/lib/discovery-daemon).
printf '%s\n' 'root:x:0:0:root:/root:/bin/sh' \
    'discovery:x:101:101:discovery-daemon:/var/lib/discovery-daemon:/bin/false' > "$root/etc/passwd"
printf '%s\n' 'root:x:0:' 'discovery:x:101:' > "$root/etc/group"

# The project, as the device gets it, and the stand-ins for its libraries.
DESTDIR=$PWD/$root cmake --install build/armhf --strip >/dev/null
DESTDIR=$PWD/$root cmake --install build/armhf --strip --component platform >/dev/null

cp "$debs/busybox-static/bin/busybox" "$root/bin/busybox"

# Libraries: each NEEDED name of each program and library in the image,
# from the first directory that has it; the C library and its loader come
# from the cross sysroot, as one build.
search=(/usr/arm-linux-gnueabihf/lib /usr/lib/arm-linux-gnueabihf)
needed_of() { readelf -dW "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
interp_of() { readelf -lW "$1" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p'; }
queue=("$root/usr/bin/housectl" "$root/usr/sbin/discovery-daemon")
while IFS= read -r lib; do queue+=("$lib"); done < <(find "$root/usr/lib" -name '*.so' -type f)
declare -A have=()
interp=$(interp_of "$root/usr/bin/housectl")
cp -L "/usr/arm-linux-gnueabihf/lib/$(basename "$interp")" "$root$interp"
have[$(basename "$interp")]=1
while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    for name in $(needed_of "$file"); do
        [ -n "${have[$name]:-}" ] && continue
        [ -n "$(find "$root" -name "$name" -print -quit)" ] && { have[$name]=1; continue; }
        found=""
        for dir in "${search[@]}"; do
            [ -e "$dir/$name" ] && { found=$dir/$name; break; }
        done
        [ -n "$found" ] || { echo "device-image: $name (needed by $file) not found" >&2; exit 1; }
        cp -L "$found" "$root/lib/$name"
        have[$name]=1
        queue+=("$root/lib/$name")
    done
done

# Kernel and the modules the network card needs, dependencies first (the
# package has no modules.dep: the order comes from each module's own
# "depends=" field).
kernel_dir=$(cd "$debs/kernel" && pwd)
version=$(ls "$kernel_dir/lib/modules")
cp "$kernel_dir/boot/vmlinuz-$version" "$out/vmlinuz"
mods=$kernel_dir/lib/modules/$version/kernel
declare -A loaded=()
order=()
add_module() {
    local name=$1 path
    [ -n "${loaded[$name]:-}" ] && return
    loaded[$name]=1
    path=$(find "$mods" -name "$name.ko" -print -quit)
    [ -n "$path" ] || { echo "device-image: module $name not found" >&2; exit 1; }
    for dep in $(tr '\0' '\n' < "$path" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$dep"
    done
    mkdir -p "$root/lib/modules"
    cp "$path" "$root/lib/modules/"
    order+=("$name.ko")
}
add_module virtio_pci
add_module virtio_net
printf '%s\n' "${order[@]}" > "$root/lib/modules/load.order"

cp scripts/device-init.sh "$root/init"
chmod 755 "$root/init"
(cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -9 > "$out/initramfs.cpio.gz"
echo "device-image: $out/vmlinuz ($version), $out/initramfs.cpio.gz ($(stat -c %s "$out/initramfs.cpio.gz") bytes)"
