# Sourced by scenarios.sh.

# What each setting of the restore unit's sandbox costs under emulation:
# the unit started directly for the display's node (systemctl start, which
# waits for the oneshot to end), as shipped and as a copy without one
# setting (or a pair that only works together) under another name, in turns
# of three each, so that drift in the guest's speed falls on both alike;
# also with none of the sandbox. (Each variant's exposure, which takes
# seconds here, is systemd-analyze security --offline's on the build
# machine.) Figures only (NOTE lines),
# for docs/performance.md; the check is that every start succeeded. Run
# only when named (scripts/test.sh target restore_sandbox).
restore_sandbox() {
new_scenario restore_sandbox
installed_file /usr/bin/brightness-ctl || $DPKG -i $PACKAGES > "$W/dpkg.log" 2>&1
display_start -n
display plug
wait_for 10 display_node > /dev/null
udevadm settle -t 30
node=$(display_node)
instance="brightness-restore@${node#/dev/}.service"
/usr/bin/brightness-ctl set 3 > /dev/null 2>&1
shipped=/usr/lib/systemd/system/brightness-restore@.service
copy=/etc/systemd/system/brightness-variant@.service
# The sandbox: every setting of [Service] but what the unit runs and when;
# the device policy and its one allowance go together.
settings=$(sed -n '/^\[Service\]/,$ s/^\([A-Za-z]*\)=.*/\1/p' "$shipped" \
    | grep -vx -e Type -e ExecStart -e TimeoutStartSec -e DeviceAllow | uniq \
    | sed 's/^DevicePolicy$/DevicePolicy+DeviceAllow/' | tr '\n' ' ')
failures=0
# start UNIT: ms for one start of UNIT.
start() {
    a=$(/usr/bin/date +%s.%N)
    systemctl start "$1" || failures=$((failures + 1))
    b=$(/usr/bin/date +%s.%N)
    ms "$a" "$b"
}
exposure() { systemd-analyze security --no-pager "$1" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p'; }
variant_unit="brightness-variant@${node#/dev/}.service"
# variant NAME SED_SCRIPT: the shipped unit and its copy with SED_SCRIPT
# applied, three starts of each in turns; medians.
variant() {
    sed "$2" "$shipped" > "$copy"
    systemctl daemon-reload
    : > "$W/a"; : > "$W/b"
    for i in 1 2 3; do
        echo "$(start "$instance")" >> "$W/a"
        echo "$(start "$variant_unit")" >> "$W/b"
    done
    a=$(median < "$W/a"); b=$(median < "$W/b")
    echo "NOTE restore_sandbox: $1: $b ms against $a ms as shipped (saves $(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.0f", a - b }') ms)"
}
for i in 1 2 3 4 5; do
    a=$(/usr/bin/date +%s.%N)
    /usr/bin/brightness-ctl restore --device "$node" > /dev/null 2>&1
    b=$(/usr/bin/date +%s.%N)
    ms "$a" "$b"; echo
done > "$W/direct"
echo "NOTE restore_sandbox: brightness-ctl restore run directly: $(median < "$W/direct") ms; shipped exposure $(exposure "$instance")"
none=""
for s in $settings; do
    for k in $(echo "$s" | tr + ' '); do none="$none/^$k=/d;"; done
done
variant "no sandbox" "$none"
for s in $settings; do
    script=""
    for k in $(echo "$s" | tr + ' '); do script="$script/^$k=/d;"; done
    variant "without $s" "$script"
done
rm -f "$copy"
systemctl daemon-reload
expect "every start of the restore unit succeeded" test "$failures" = 0
display_stop
}
