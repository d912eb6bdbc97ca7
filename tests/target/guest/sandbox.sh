# Sourced by scenarios.sh.

# What the restore unit's sandbox costs under emulation. By mechanism, on
# the plug itself: plug -> restored against udev's own time (time_plug) with
# the unit as shipped, without a group of settings, with the mount namespace
# it does without, and with none of it. Setting by setting, on a start of
# the unit (systemctl start, which waits for the oneshot to end) as copies
# under other names without one setting (or a pair that only works
# together). Variants take turns, each round in another order, so that drift
# in the guest's speed and what one start leaves to the next fall on each
# alike. Figures only (NOTE lines), for docs/performance.md; the checks are
# that every plug was timed and every start succeeded. Run only when named
# (scripts/test.sh target restore_sandbox).
restore_sandbox() {
new_scenario restore_sandbox
installed_file /usr/bin/brightness-ctl || $DPKG -i $PACKAGES > "$W/dpkg.log" 2>&1
display_start -n -t "$W/stamps"
display plug
wait_for 10 display_node > /dev/null
udevadm settle -t 30
node=$(display_node)
/usr/bin/brightness-ctl set 3 > /dev/null 2>&1
shipped=/usr/lib/systemd/system/brightness-restore@.service
# The sandbox: every setting of [Service] but what the unit runs and when;
# the device policy and its one allowance go together.
settings=$(sed -n '/^\[Service\]/,$ s/^\([A-Za-z]*\)=.*/\1/p' "$shipped" \
    | grep -vx -e Type -e ExecStart -e TimeoutStartSec -e DeviceAllow | uniq \
    | sed 's/^DevicePolicy$/DevicePolicy+DeviceAllow/' | tr '\n' ' ')
without() { for k in $(echo "$*" | tr + ' '); do printf '/^%s=/d;' "$k"; done; }
# rounds N LIST: N rounds over the variants of LIST ("NAME<tab>SED<tab>MORE"
# lines: the shipped unit through SED, then the settings of MORE added to
# its last section), each round beginning one variant later; calls
# "one I SED MORE" for each.
rounds() {
    count=$(wc -l < "$2")
    for r in $(seq 1 "$1"); do
        for k in $(seq 0 $((count - 1))); do
            i=$(((r + k - 1) % count + 1))
            one "$i" "$(sed -n "${i}p" "$2" | cut -f2)" "$(sed -n "${i}p" "$2" | cut -f3)"
        done
    done
}
tab=$(printf '\t')
cat > "$W/groups" <<GROUPS
as shipped$tab
no sandbox (as root)$tab$(without $settings)
with the mount namespace of ProtectSystem=strict and the like$tab$tab$(echo ProtectSystem=strict ReadWritePaths=-/var/lib/brightness ProtectHome=yes PrivateTmp=yes ProtectKernelTunables=yes ProtectKernelModules=yes ProtectKernelLogs=yes ProtectControlGroups=yes ProtectProc=invisible ProcSubset=pid PrivateMounts=yes)
with a bare mount namespace (PrivateMounts)$tab${tab}PrivateMounts=yes
without the cgroup's BPF programs (IPAddressDeny, DevicePolicy)$tab$(without IPAddressDeny DevicePolicy DeviceAllow)
without the system call filters$tab$(without SystemCallFilter SystemCallArchitectures SystemCallErrorNumber RestrictAddressFamilies RestrictNamespaces RestrictRealtime RestrictSUIDSGID LockPersonality MemoryDenyWriteExecute ProtectClock ProtectHostname)
without PrivateUsers$tab$(without PrivateUsers)
without PrivateNetwork$tab$(without PrivateNetwork)
as root (without User, Group)$tab$(without User Group)
GROUPS
udevadm monitor --kernel --udev --subsystem-match=hidraw > "$W/monitor" 2>&1 &
monitor_pid=$!
sleep 1
override=/etc/systemd/system/brightness-restore@.service
one() {
    sed "$2" "$shipped" > "$override"
    for k in $3; do echo "$k"; done >> "$override"
    systemctl daemon-reload
    time_plug "$W/plugs$1"
}
rounds 5 "$W/groups"
kill "$monitor_pid"
rm -f "$override"
systemctl daemon-reload
i=0
while IFS="$tab" read -r name script more; do
    i=$((i + 1))
    echo "NOTE restore_sandbox: $name: $(plug_ratio < "$W/plugs$i")"
done < "$W/groups"
expect "each variant's 5 plugs were timed" test "$(cat "$W"/plugs* | awk 'NF == 6' | wc -l)" = $((5 * i))

: > "$W/settings"
echo "as shipped$tab" >> "$W/settings"
for s in $settings; do echo "without $s$tab$(without "$s")" >> "$W/settings"; done
i=0
while IFS="$tab" read -r name script; do
    i=$((i + 1))
    sed "$script" "$shipped" > "/etc/systemd/system/brightness-v$i@.service"
done < "$W/settings"
systemctl daemon-reload
failures=0
one() {
    a=$(/usr/bin/date +%s.%N)
    systemctl start "brightness-v$1@${node#/dev/}.service" || failures=$((failures + 1))
    b=$(/usr/bin/date +%s.%N)
    echo "$(ms "$a" "$b")" >> "$W/starts$1"
}
rounds 5 "$W/settings"
base=$(median < "$W/starts1")
i=0
while IFS="$tab" read -r name script; do
    i=$((i + 1))
    m=$(median < "$W/starts$i")
    echo "NOTE restore_sandbox: start $name: $m ms, saves $(awk -v a="$base" -v b="$m" 'BEGIN { printf "%.0f", a - b }') ms (median of 5: $(tr '\n' ' ' < "$W/starts$i"))"
done < "$W/settings"
rm -f /etc/systemd/system/brightness-v*@.service
systemctl daemon-reload
expect "every start of the restore unit succeeded" test "$failures" = 0
display_stop
}
