#!/usr/bin/env bash
# Builds the guest once from Debian's packages and prints the folder that holds it (root.ext4,
# vmlinuz, initrd.img): a 64-bit Debian 12 whose kernel runs 32-bit code, with i386 Wine and
# PulseAudio. Cached under PLAYONCE_VM_CACHE (/var/cache/playonce-vm) by a hash of its scripts,
# which hold the whole package list, and the mirror: a second run, or a fresh clone, builds
# nothing. Needs root (debootstrap, chroot).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cache_root="${PLAYONCE_VM_CACHE:-/var/cache/playonce-vm}"
suite=bookworm
mirror="$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)"
base_packages=systemd-sysv,udev,kmod,ca-certificates
boot_packages=(linux-image-amd64 initramfs-tools zstd)
wine_packages=(wine wine32:i386 libwine:i386 libpulse0:i386 pulseaudio pulseaudio-utils)
image_size=4G   # the root's 2.4 GB, and room for a prefix and the guest's runs

key="$( (cat "$0" "$here/guest_init.sh"; echo "$mirror") | sha256sum | cut -c1-16)"
guest="$cache_root/$key"
if [[ -f "$guest/complete" ]]; then
    echo "$guest"
    exit 0
fi

mkdir -p "$cache_root"
exec 8>"$cache_root/.lock"
flock 8  # one build at a time; the second finds the first's result
if [[ -f "$guest/complete" ]]; then
    echo "$guest"
    exit 0
fi

work="$guest.partial"
root="$work/root"
log="$work/build.log"

unmount_root() {
    for point in dev/pts dev sys proc; do
        if mountpoint -q "$root/$point"; then umount -l "$root/$point"; fi
    done
}

in_root() {
    timeout 900 chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"
}

build_root() {
    timeout 900 debootstrap --variant=minbase --include="$base_packages" "$suite" "$root" \
        "$mirror"
    # The host's package list, its updates and security suites too, named for the guest's
    # release (a Debian 13 host's list names trixie).
    sed "s/\b$(. /etc/os-release && echo "$VERSION_CODENAME")\b/$suite/g" \
        /etc/apt/sources.list.d/debian.sources >"$root/etc/apt/sources.list.d/debian.sources"
    rm -f "$root/etc/apt/sources.list"
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"  # no services start here
    chmod 755 "$root/usr/sbin/policy-rc.d"
    mount -t proc proc "$root/proc"
    mount -t sysfs sys "$root/sys"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    in_root dpkg --add-architecture i386
    in_root apt-get -q update
    in_root apt-get -q install -y --no-install-recommends "${boot_packages[@]}"
    # libglib2.0-0:i386's own i386 tools fail here (no 32-bit code on this host); the apt run
    # goes on, and the guest's first boot runs them.
    in_root apt-get -q install -y --no-install-recommends "${wine_packages[@]}"
    in_root apt-get clean
    unmount_root
    cp "$here/guest_init.sh" "$root/sbin/playonce-init"
    chmod 755 "$root/sbin/playonce-init"
    cp -L "$root/vmlinuz" "$work/vmlinuz"
    cp -L "$root/initrd.img" "$work/initrd.img"
}

# The guest's first boot, with no job disk: the i386 steps that could not run here, and the
# 32-bit Wine prefix every run then shares; it leaves a mark when done.
prepare_in_guest() {
    timeout 900 qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -m 3G -nographic -no-reboot \
        -kernel "$work/vmlinuz" -initrd "$work/initrd.img" \
        -append "root=/dev/vda rw console=ttyS0 init=/sbin/playonce-init panic=-1 quiet" \
        -drive "file=$work/root.ext4,if=virtio,format=raw" </dev/null >"$work/prepare.log" 2>&1
    debugfs -R "cat /var/lib/playonce-prepared" "$work/root.ext4" 2>/dev/null | grep -qx prepared
}

trap unmount_root EXIT
rm -rf "$work"
mkdir -p "$work"
started=$SECONDS
build_root >"$log" 2>&1 || { echo "guest root failed, see $log" >&2; exit 1; }
echo "guest root: $((SECONDS - started)) s" >&2
started=$SECONDS
mkfs.ext4 -F -q -d "$root" "$work/root.ext4" "$image_size"
rm -rf "$root"
echo "guest image: $((SECONDS - started)) s" >&2
started=$SECONDS
prepare_in_guest || { echo "guest's first boot failed, see $work/prepare.log" >&2; exit 1; }
echo "guest's first boot: $((SECONDS - started)) s" >&2
rm -rf "$guest"
mv "$work" "$guest"
touch "$guest/complete"
echo "$guest"
