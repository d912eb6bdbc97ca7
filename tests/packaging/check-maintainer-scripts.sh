#!/bin/sh
# postinst and postrm reload udev's rules and re-trigger the hidraw nodes
# only when udevadm exists and udev answers, and never fail, whatever
# udevadm does. udevadm is replaced by a stand-in that logs its calls.
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
run postinst abort-upgrade 0 0 0 ""
run postrm purge 0 0 0 ""
run postrm upgrade 0 0 0 ""

# Without udevadm on PATH at all (a system without udev).
for script in postinst postrm; do
    [ $script = postinst ] && action=configure || action=remove
    PATH="$work/none" /bin/sh "$debian/$script" $action > "$work/out" 2>&1 \
        || fail "$script $action without udevadm failed: $(cat "$work/out")"
done

finish
