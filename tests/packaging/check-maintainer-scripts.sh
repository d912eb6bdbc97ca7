#!/bin/sh
# The maintainer scripts of brightness-tools as built (debhelper's parts in
# them), run under DPKG_ROOT, a directory of the check's own that holds the
# package's files, so that this machine is left alone:
# - postinst and postrm reload udev's rules and re-trigger the hidraw nodes
#   only when udevadm exists and udev answers, and never fail, whatever
#   udevadm does (udevadm is a stand-in that logs its calls);
# - postinst makes the record's directory (root, group plugdev, 2771) through
#   tmpfiles.d, or by itself without systemd-tmpfiles, sets it again from
#   2775, keeps the record, and yields to a dpkg-statoverride;
# - a purge removes the record and the links of a service enabled by hand.
# Usage: check-maintainer-scripts.sh BRIGHTNESS_TOOLS_DEB WORK_DIR
set -eu
deb=$1; work=$2
. "$(dirname "$0")/lib.sh"
lock_dist "$(dirname "$deb")"

rm -rf "$work"; mkdir -p "$work/none" "$work/bin" "$work/control"
[ -f "$deb" ] || { fail "$deb is missing"; finish; }
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm prerm; do
    s="$work/control/$script"
    [ -x "$s" ] || fail "$script is not executable"
    head -n 1 "$s" | grep -qx '#!/bin/sh' || fail "$script does not start with #!/bin/sh"
    sh -n "$s" || fail "$script: syntax error"
done
grep -q 'deb-systemd-invoke stop .brightness-idle.service. .brightness-mqtt.service.' "$work/control/prerm" \
    || fail "prerm does not stop the idle and MQTT services on removal"

# The stand-in udevadm: "control --ping" exits with $PING, "control
# --reload-rules" with $RELOAD, "trigger ..." with $TRIGGER.
cat > "$work/bin/udevadm" <<'SH'
#!/bin/sh
echo "$*" >> "$UDEVADM_LOG"
case "$*" in
    "control --ping"*) exit "$PING" ;;
    "control --reload-rules") exit "$RELOAD" ;;
    trigger*) exit "$TRIGGER" ;;
esac
exit 0
SH
chmod 755 "$work/bin/udevadm"
export UDEVADM_LOG="$work/udevadm.log"
export DPKG_ROOT="$work/root"
export DPKG_ADMINDIR="$DPKG_ROOT/var/lib/dpkg"
# As dpkg runs them: deb-systemd-helper acts only then.
export DPKG_MAINTSCRIPT_PACKAGE=brightness-tools
state="$DPKG_ROOT/var/lib/brightness"
# The package's files, and the users and groups they name.
mkdir -p "$DPKG_ADMINDIR" "$DPKG_ROOT/etc"
dpkg-deb -x "$deb" "$DPKG_ROOT"
cp /etc/passwd /etc/group "$DPKG_ROOT/etc/"
: > "$DPKG_ADMINDIR/statoverride"

# run SCRIPT ARGS PING RELOAD TRIGGER EXPECTED_CALLS: runs the script with
# the stand-in first on PATH; it must exit 0 and make exactly the calls
# given (one per line; '-' for none).
run() {
    : > "$UDEVADM_LOG"
    # shellcheck disable=SC2086
    if ! PING=$3 RELOAD=$4 TRIGGER=$5 PATH="$work/bin:$PATH" sh "$work/control/$1" $2 > "$work/out" 2>&1; then
        fail "$1 $2 (ping $3, reload $4, trigger $5) failed: $(cat "$work/out")"
    fi
    calls=$(tr '\n' ';' < "$UDEVADM_LOG")
    [ "$calls" = "$6" ] || fail "$1 $2 (ping $3, reload $4, trigger $5): calls '$calls', expected '$6'"
}
ping='control --ping;'
all='control --ping;control --reload-rules;trigger --subsystem-match=hidraw;'

for script in postinst postrm; do
    [ $script = postinst ] && action=configure || action=remove
    run $script $action 0 0 0 "$all"
    run $script $action 1 0 0 "$ping"
    run $script $action 0 1 0 "control --ping;control --reload-rules;"
    run $script $action 0 0 1 "$all"
done
# The state directory: made by configure, kept by remove, gone with purge.
mode() { stat -c '%A %U %G' "$state" 2>/dev/null; }
[ "$(mode)" = "drwxrws--x root plugdev" ] || fail "state directory is '$(mode)', expected 'drwxrws--x root plugdev'"
for pair in _brightness-idle:input _brightness-idle:plugdev _brightness-mqtt:plugdev _brightness-restore:plugdev; do
    grep -q "^${pair#*:}:.*[:,]${pair%%:*}\(,\|\$\)" "$DPKG_ROOT/etc/group" \
        || fail "postinst configure did not put ${pair%%:*} in group ${pair#*:}"
done
echo "x 0483:5750 50 1" > "$state/levels"
# An upgrade from a version that made it 2775, which let anyone lock it.
chmod 2775 "$state"
run postinst "configure 1.0.0" 0 0 0 "$all"
[ "$(mode)" = "drwxrws--x root plugdev" ] || fail "postinst configure did not set the state directory's mode again: '$(mode)'"
[ -f "$state/levels" ] || fail "postinst configure lost the record"
# An administrator's statoverride wins.
echo "root root 0700 /var/lib/brightness" > "$DPKG_ADMINDIR/statoverride"
run postinst "configure 1.1.0" 0 0 0 "$all"
[ "$(mode)" = "drwx------ root root" ] || fail "postinst configure did not follow the statoverride: '$(mode)'"
: > "$DPKG_ADMINDIR/statoverride"
run postinst abort-upgrade 0 0 0 ""
run postrm upgrade 0 0 0 ""
[ -f "$state/levels" ] || fail "postrm remove or upgrade lost the record"
# A service enabled by hand before this version was configured: its link
# goes with the purge.
wants="$DPKG_ROOT/etc/systemd/system/multi-user.target.wants"
mkdir -p "$wants"
ln -s /usr/lib/systemd/system/brightness-idle.service "$wants/brightness-idle.service"
run postinst "configure 1.1.0" 0 0 0 "$all"
[ -L "$wants/brightness-idle.service" ] || fail "postinst configure removed the link of a service enabled by hand"
run postrm purge 0 0 0 ""
[ ! -e "$state" ] || fail "postrm purge left the state directory"
[ ! -L "$wants/brightness-idle.service" ] || fail "postrm purge left the enabled service's link"

# Without udevadm or systemd-tmpfiles on PATH at all (a system without udev
# or systemd): only the tools every Debian system has, and systemd-sysusers,
# which the package depends on (systemd-standalone-sysusers without systemd).
for tool in mkdir chown chmod rm getent dpkg-statoverride systemd-sysusers; do
    ln -sf "$(command -v $tool)" "$work/none/$tool"
done
for script in postinst postrm; do
    [ $script = postinst ] && action=configure || action=remove
    PATH="$work/none" /bin/sh "$work/control/$script" $action > "$work/out" 2>&1 \
        || fail "$script $action without udevadm failed: $(cat "$work/out")"
done
[ "$(mode)" = "drwxrws--x root plugdev" ] || fail "without systemd-tmpfiles the state directory is '$(mode)'"

finish
