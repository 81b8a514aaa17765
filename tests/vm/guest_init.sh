#!/bin/sh
# The guest's init: mounts what a system needs, then runs the job disk's run_guest.sh or, on the
# first boot (no job disk), makes what the build could not; powers the guest off either way.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
mount -t tmpfs tmp /tmp
mount -t tmpfs run /run
export HOME=/root WINEARCH=win32 WINEPREFIX=/root/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"

# libglib2.0-0:i386's own i386 steps, and the 32-bit prefix every run then shares.
prepare() {
    glib=/usr/lib/i386-linux-gnu/glib-2.0
    "$glib/glib-compile-schemas" /usr/share/glib-2.0/schemas
    "$glib/gio-querymodules" /usr/lib/i386-linux-gnu/gio/modules
    if wineboot -i && wineserver -w; then
        echo prepared >/var/lib/playonce-prepared
    fi
}

if [ -e /dev/vdb ]; then
    mkdir -p /job
    mount /dev/vdb /job && sh /job/run_guest.sh
    umount /job
else
    prepare
fi
sync
mount -o remount,ro /
echo o >/proc/sysrq-trigger
sleep 60  # the power-off is under way; init must not end first
