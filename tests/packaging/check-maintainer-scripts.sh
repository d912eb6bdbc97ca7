#!/bin/sh
# postinst and postrm reload udev's rules and re-trigger the hidraw nodes
# only when udevadm exists and udev answers, and never fail, whatever
# udevadm does. udevadm is replaced by a stand-in that logs its calls.
# postinst creates the state directory (root, group plugdev, 2771), postrm
# purge removes it; both under DPKG_ROOT, a directory of the check's own.
# Usage: check-maintainer-scripts.sh DEBIAN_DIR WORK_DIR
set -eu
debian=$1; work=$2
. "$(dirname "$0")/lib.sh"

rm -rf "$work"; mkdir -p "$work/none" "$work/bin"
for script in postinst postrm; do
    [ -x "$debian/$script" ] || fail "$script is not executable"
    head -n 1 "$debian/$script" | grep -qx '#!/bin/sh' || fail "$script does not start with #!/bin/sh"
    sh -n "$debian/$script" || fail "$script: syntax error"
done

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
state="$DPKG_ROOT/var/lib/brightness"

# run SCRIPT ARG PING RELOAD TRIGGER EXPECTED_CALLS: runs the script with
# the stand-in first on PATH; it must exit 0 and make exactly the calls
# given (one per line; '-' for none).
run() {
    : > "$UDEVADM_LOG"
    if ! PING=$3 RELOAD=$4 TRIGGER=$5 PATH="$work/bin:$PATH" sh "$debian/$1" "$2" > "$work/out" 2>&1; then
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
group=root
getent group plugdev >/dev/null 2>&1 && group=plugdev
[ -d "$state" ] || fail "postinst configure did not create the state directory"
[ "$(stat -c '%A %U %G' "$state" 2>/dev/null)" = "drwxrws--x root $group" ] \
    || fail "state directory is '$(stat -c '%A %U %G' "$state" 2>/dev/null)', expected 'drwxrws--x root $group'"
echo "x 0483:5750 50 1" > "$state/levels"
# An upgrade from a version that made it 2775, which let anyone lock it.
chmod 2775 "$state"
run postinst configure 0 0 0 "$all"
[ "$(stat -c %A "$state")" = drwxrws--x ] || fail "postinst configure did not set the state directory's mode again"
[ -f "$state/levels" ] || fail "postinst configure lost the record"
run postinst abort-upgrade 0 0 0 ""
run postrm upgrade 0 0 0 ""
[ -f "$state/levels" ] || fail "postrm remove or upgrade lost the record"
run postrm purge 0 0 0 ""
[ ! -e "$state" ] || fail "postrm purge left the state directory"

# Without udevadm on PATH at all (a system without udev): only the tools
# every Debian system has.
for tool in mkdir chown chmod rm getent dpkg-statoverride; do
    ln -sf "$(command -v $tool)" "$work/none/$tool"
done
for script in postinst postrm; do
    [ $script = postinst ] && action=configure || action=remove
    PATH="$work/none" /bin/sh "$debian/$script" $action > "$work/out" 2>&1 \
        || fail "$script $action without udevadm failed: $(cat "$work/out")"
done

finish
