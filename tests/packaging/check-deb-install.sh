#!/bin/sh
# Installs this machine's package with apt-get, starts the installed
# program once (offscreen, with a stand-in sudo), and removes the package
# again, together with anything the install brought in, so the machine is
# left as it was. Needs root; skips otherwise.
# Usage: check-deb-install.sh DIST_DIR VERSION WORK_DIR
set -eu
dist=$1; version=$2; work=$3
. "$(dirname "$0")/lib.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing a package needs root; run the tests as root for this check"
    exit $SKIP
fi
lock_dist "$dist"
# Runs from other work trees on this machine install the same package.
lockdir=/run/lock
[ -d "$lockdir" ] || lockdir=/tmp
exec 8> "$lockdir/brightness-deb-install.lock"
flock 8
# Wait for other apt and dpkg runs rather than fail.
APT="apt-get -o DPkg::Lock::Timeout=300"
is_installed() { dpkg-query -W -f='${db:Status-Status}' brightness 2>/dev/null | grep -qx installed; }
# Left behind by a run of this check that was killed before its clean-up.
marker="$work.installed"
if [ -f "$marker" ] && is_installed; then
    echo "removing the package left installed by an interrupted run of this check"
    DEBIAN_FRONTEND=noninteractive $APT purge -y -qq brightness >/dev/null
fi
rm -f "$marker"
if is_installed; then
    echo "SKIP: the package brightness is installed on this machine already; not replacing it"
    exit $SKIP
fi
arch=$(dpkg --print-architecture)
deb="$dist/brightness_${version}_$arch.deb"
[ -f "$deb" ] || { fail "$deb is missing"; finish; }
case "$deb" in /*) ;; *) deb="$(pwd)/$deb" ;; esac

rm -rf "$work"; mkdir -p "$work"
installed() { dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' | sed -n 's/^installed //p' | sort; }
installed > "$work/before"

cleanup() {
    if DEBIAN_FRONTEND=noninteractive $APT purge -y -qq brightness > "$work/purge.log" 2>&1; then
        rm -f "$marker"
    else
        cat "$work/purge.log" >&2
        fail "apt-get purge brightness failed"
    fi
    installed > "$work/after"
    # Whatever the install brought in besides the package goes too.
    extra=$(comm -13 "$work/before" "$work/after" | tr '\n' ' ')
    if [ -n "$extra" ]; then
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive $APT purge -y -qq $extra > "$work/purge-extra.log" 2>&1 \
            || fail "could not remove $extra"
        installed > "$work/after"
    fi
    if ! cmp -s "$work/before" "$work/after"; then
        diff "$work/before" "$work/after" >&2 || true
        fail "the installed packages differ from before the check"
    fi
}
trap cleanup EXIT

touch "$marker"
if ! DEBIAN_FRONTEND=noninteractive $APT install -y -qq --no-install-recommends "$deb" > "$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    fail "apt-get install $deb failed"
    exit 1
fi
for f in /usr/bin/brightness /usr/bin/brightness-ctl /usr/lib/udev/rules.d/70-brightness.rules \
         /usr/lib/systemd/system/brightness-restore@.service \
         /usr/share/applications/brightness.desktop /usr/share/man/man1/brightness.1.gz \
         /usr/share/icons/hicolor/48x48/apps/brightness.png /usr/share/doc/brightness/copyright; do
    [ -f "$f" ] || fail "$f is not installed"
    dpkg -S "$f" >/dev/null 2>&1 || fail "$f does not belong to a package"
done
[ "$(man -w brightness 2>/dev/null)" = /usr/share/man/man1/brightness.1.gz ] \
    || fail "man -w brightness does not find the installed page"
# The restore unit as systemd reads it (the instance is a node's name).
if command -v systemd-analyze >/dev/null 2>&1; then
    out=$(systemd-analyze verify /usr/lib/systemd/system/brightness-restore@hidraw0.service 2>&1) \
        || fail "systemd-analyze verify failed: $out"
    [ -z "$out" ] || fail "systemd-analyze verify has findings: $out"
fi
# With nothing remembered, a restore does nothing, successfully.
/usr/bin/brightness-ctl restore > "$work/restore.out" 2>&1 \
    || fail "brightness-ctl restore with nothing remembered failed: $(cat "$work/restore.out")"
[ ! -s "$work/restore.out" ] || fail "brightness-ctl restore said: $(cat "$work/restore.out")"
# The record's directory: root may write it at boot, group plugdev when
# setting a display, and its files stay in that group.
[ "$(stat -c '%A %U %G' /var/lib/brightness 2>/dev/null)" = "drwxrwsr-x root plugdev" ] \
    || fail "/var/lib/brightness is '$(stat -c '%A %U %G' /var/lib/brightness 2>/dev/null)', expected 'drwxrwsr-x root plugdev'"

make_fake_sudo "$work/bin"
mkdir -m 700 "$work/runtime"
export FAKE_SUDO_LOG="$work/sudo.log"
: > "$FAKE_SUDO_LOG"
PATH="$work/bin:$PATH" QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" \
    /usr/bin/brightness -b 5 > "$work/out" 2> "$work/err" &
pid=$!
sleep 1.5
if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    [ "$(cat "$work/out")" = "Bright=5" ] || fail "the installed program printed '$(cat "$work/out")'"
    grep -q '^chmod 777 /dev/hidraw0$' "$FAKE_SUDO_LOG" || fail "the installed program did not search for the display"
else
    wait "$pid" || true
    cat "$work/err" >&2
    fail "the installed program did not stay up for 1.5 s"
fi

trap - EXIT
cleanup
[ ! -e /usr/bin/brightness ] || fail "/usr/bin/brightness is still there after the purge"
[ ! -e /usr/lib/udev/rules.d/70-brightness.rules ] || fail "the udev rule is still there after the purge"
[ ! -e /var/lib/brightness ] || fail "/var/lib/brightness is still there after the purge"

finish
