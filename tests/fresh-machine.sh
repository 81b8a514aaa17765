#!/usr/bin/env bash
# The README's two commands on a fresh Debian of the named release, as a newcomer runs them.
#
# Usage: bash tests/fresh-machine.sh RELEASE [--keep]
#   RELEASE  12, 13, bookworm or trixie
#   --keep   leave the machine's root behind (and print where) instead of removing it
# As root: makes a fresh root of that release with debootstrap from this machine's own Debian
# mirror, its package sources as a new install has them (the release, its updates, its security
# suite), clones this checkout's committed HEAD into it, and runs `bash demo/run.sh` and then
# `bash tests/run-all.sh` there, printing how each ended and how long it took. A tool for a person
# before a release; CI runs on the machine itself. Needs debootstrap and a few GB in
# PLAYONCE_FRESH_DIR (default /var/tmp/playonce-fresh).
set -euo pipefail
checkout="$(cd "$(dirname "$0")/.." && pwd)"

usage() {
    echo "usage: bash tests/fresh-machine.sh 12|13|bookworm|trixie [--keep]" >&2
    exit 2
}

codename_of() {
    case "$1" in
    12 | bookworm) echo bookworm ;;
    13 | trixie) echo trixie ;;
    *) usage ;;
    esac
}

[[ $# == 1 || ($# == 2 && "$2" == --keep) ]] || usage
release="$(codename_of "$1")"
keep="${2:-}"
[[ "$(id -u)" == 0 ]] || { echo "fresh-machine: needs root (debootstrap, chroot)" >&2; exit 1; }
command -v debootstrap > /dev/null || { echo "fresh-machine: needs debootstrap" >&2; exit 1; }

# This machine's mirrors as its deb822 sources name them: the first URI of a stanza whose suites
# include NAME ("main" for the release itself, "security" for its security suite).
mirror_for() {
    awk -v want="$1" '
        /^URIs:/ { uri = $2 }
        /^Suites:/ { for (i = 2; i <= NF; i++) if ((want == "security") == ($i ~ /-security$/)) found = 1 }
        /^$/ { if (found && uri) exit; found = 0; uri = "" }
        END { if (found && uri) print uri }' /etc/apt/sources.list.d/*.sources 2> /dev/null
}
mirror="$(mirror_for main)"
security="$(mirror_for security)"
[[ -n "$mirror" ]] || { echo "fresh-machine: no Debian mirror in /etc/apt/sources.list.d" >&2; exit 1; }

base="${PLAYONCE_FRESH_DIR:-/var/tmp/playonce-fresh}"
machine="$base/$release"
log="$base/$release.log"
mkdir -p "$base"

unmount_all() {
    local point
    for point in dev sys proc; do
        if mountpoint -q "$machine/$point"; then umount -R -l "$machine/$point"; fi
    done
    return 0
}
finish() {
    unmount_all
    if [[ -z "$keep" ]]; then
        rm -rf --one-file-system "$machine"
    else
        echo "fresh-machine: the machine is kept in $machine"
    fi
}

# Says how a step ended and how long it took, in the terminal and in the log.
step() {
    local name="$1" started status=0
    shift
    started=$(date +%s)
    echo "== $name" | tee -a "$log"
    "$@" >> "$log" 2>&1 || status=$?
    local result="passed"
    [[ $status == 0 ]] || result="FAILED (exit $status)"
    echo "== $name: $result in $(($(date +%s) - started)) s" | tee -a "$log"
    return $status
}

make_root() {
    unmount_all
    rm -rf --one-file-system "$machine"
    debootstrap --variant=minbase "$release" "$machine" "$mirror"
}

# The package sources of a new install, and what a chroot needs to reach them and to keep the
# packages' services from starting on this machine.
configure_root() {
    rm -f "$machine/etc/apt/sources.list"
    {
        printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' \
            "$mirror" "$release" "$release"
        printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
        if [[ -n "$security" ]]; then
            printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\n' \
                "$security" "$release"
            printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
        fi
    } > "$machine/etc/apt/sources.list.d/debian.sources"
    cp /etc/resolv.conf "$machine/etc/resolv.conf"
    printf '#!/bin/sh\nexit 101\n' > "$machine/usr/sbin/policy-rc.d"
    chmod 755 "$machine/usr/sbin/policy-rc.d"
    mount -t proc proc "$machine/proc"
    mount -t sysfs sys "$machine/sys"
    mount --rbind /dev "$machine/dev" # with its pts and shm, which servers and Wine need
    mount --make-rslave "$machine/dev"
    git clone -q "$checkout" "$machine/root/playonce"
}

# A command in the fresh machine, in the clone, with a new login's environment.
in_machine() {
    chroot "$machine" /usr/bin/env -i HOME=/root USER=root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c 'cd /root/playonce && "$@"' bash "$@"
}

: > "$log"
trap finish EXIT
echo "fresh-machine: Debian $release from $mirror; HEAD $(git -C "$checkout" rev-parse --short HEAD); log $log"
step "debootstrap $release" make_root
step "set up the machine" configure_root
failed=0
step "bash demo/run.sh" in_machine bash demo/run.sh || failed=1
step "bash tests/run-all.sh" in_machine bash tests/run-all.sh || failed=1
[[ $failed == 0 ]] && echo "fresh-machine: both commands passed on Debian $release" ||
    echo "fresh-machine: a command failed on Debian $release; see $log" >&2
exit $failed
