#!/bin/sh
# Runs the README's test command, ./scripts/test.sh, on a fresh Debian
# bookworm system, as a new user would: a system of priority important made
# by mmdebstrap (cached while the suite's package lists stay the same, never
# changed by a run), the clone's committed tree copied in, and
# ./scripts/test.sh run in it as root with nothing else installed first.
#   scripts/fresh-test.sh [--cold] [ctest arguments...]
# The system is entered through new mount and PID namespaces and
# pivot_root, not chroot, so that the package builds' own namespaces work
# inside; it has this machine's /dev, /sys (for uevents) and /tmp, a new /proc
# and /run, this machine's system bus and network. The chroots of the package builds
# and their compiler cache are this machine's ($BRIGHTNESS_CACHE), shared
# with the fresh system; --cold gives it an empty cache of its own. The
# test.sh output is printed; the run's time is the last line.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"
. "$ROOT/scripts/chroot.sh"

cold=""
[ "${1:-}" != --cold ] || { cold=1; shift; }
ensure_packages $CHROOT_PACKAGES git
start=$(date +%s)
tarball=$(ensure_chroot bookworm fresh "$(dpkg --print-architecture)" ca-certificates --variant=important)

work=$(mktemp -d /var/tmp/brightness-fresh.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT INT TERM
git clone -q "$ROOT" "$work/brightness"
mkdir -p "$work/cache" "$BRIGHTNESS_CACHE"
cache=$BRIGHTNESS_CACHE
[ -z "$cold" ] || cache=$work/cache
echo "fresh-test.sh: ./scripts/test.sh $* in a fresh bookworm system, at $(git -C "$ROOT" rev-parse --short HEAD)"

set +e
mmdebstrap --unshare-helper sh -c '
    set -eu
    tarball=$1; work=$2; cache=$3; shift 3
    root=$work/root
    mkdir -p "$root"
    # pivot_root wants the new root to be a mount point.
    mount --bind "$root" "$root"
    tar -C "$root" -xf "$tarball"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs -o mode=755 run "$root/run"
    # The system bus, which a running machine has (brightness-mqtt asks it).
    if [ -d /run/dbus ]; then mkdir -p "$root/run/dbus" && mount --bind /run/dbus "$root/run/dbus"; fi
    # The /tmp of this machine: its network namespace is shared, and with
    # it the abstract sockets of X servers, whose display numbers the lock
    # files in /tmp tell apart.
    mount --rbind /tmp "$root/tmp"
    mkdir -p "$root/var/cache/brightness" "$root/root/brightness"
    mount --bind "$cache" "$root/var/cache/brightness"
    mount --bind "$work/brightness" "$root/root/brightness"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    # A machine id, as its first boot gives a machine: the image has none.
    tr -d - < /proc/sys/kernel/random/uuid > "$root/etc/machine-id"
    cd "$root"
    mkdir -p .old
    pivot_root . .old
    umount -l /.old
    rmdir /.old
    cd /root/brightness
    exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 TERM=dumb ./scripts/test.sh "$@"
' sh "$tarball" "$work" "$cache" "$@"
status=$?
set -e
echo "fresh-test.sh: ./scripts/test.sh exited with $status after $(( $(date +%s) - start )) s"
exit $status
