# Sourced by scenarios.sh.

# Debian's dpkg, not the busybox applet of that name, which the guest's
# shell would run first.
DPKG=/usr/bin/dpkg
# The packages under test: brightness-tools, and the window, which depends on it.
PACKAGES="$(echo /pkg/brightness-tools_*_armhf.deb) $(echo /pkg/brightness_*_armhf.deb)"
installed_file() { [ -f "$1" ] && $DPKG -S "$1" > /dev/null 2>&1; }
cannot() { ! "$@"; }
# USER may open NODE for reading.
reads_node() { su -s /bin/sh "$1" -c ": < $2" < /dev/null 2> /dev/null; }


# The package, installed with dpkg while the display is plugged in.
package() {
new_scenario package
udev_start
display_start -k
udevadm settle -t 30
expect "before the package the display's node is root's alone" test "$(mode_of /dev/hidraw1)" = "root 600"
$DPKG -i $PACKAGES > "$W/dpkg.log" 2>&1
expect "dpkg -i installs the packages" test $? = 0
sed "s/^/$scenario| /" "$W/dpkg.log"
udevadm settle -t 30
for f in /usr/bin/brightness /usr/bin/brightness-ctl /usr/lib/udev/rules.d/70-brightness.rules \
         /usr/lib/systemd/system/brightness-restore@.service /usr/lib/tmpfiles.d/brightness.conf \
         /usr/share/applications/brightness.desktop /usr/share/man/man1/brightness.1.gz \
         /usr/share/icons/hicolor/48x48/apps/brightness.png /usr/share/doc/brightness-tools/copyright; do
    expect "$f is installed and belongs to a package" installed_file "$f"
done
# The record's directory: root may write it at boot, group plugdev when
# setting a display, and its files stay in that group; others only pass.
expect "the record's directory is root:plugdev 2771" test "$(stat -c '%A %U %G' /var/lib/brightness)" = "drwxrws--x root plugdev"
/usr/bin/brightness-ctl restore > "$W/restore-none.out" 2>&1
expect "a restore with nothing remembered succeeds" test $? = 0
expect "... and says nothing" test ! -s "$W/restore-none.out"
expect "installing gives the display's node to plugdev, write only" test "$(mode_of /dev/hidraw1)" = "plugdev 620"
expect "... and not the keyboard's" test "$(mode_of /dev/hidraw0)" = "root 600"
display unplug
udevadm settle -t 30
display plug
wait_for 10 test -e /dev/hidraw1
udevadm settle -t 30
expect "a display plugged in again gets plugdev too" test "$(mode_of /dev/hidraw1)" = "plugdev 620"
su -s /bin/sh plug -c "brightness-ctl set 3" > "$W/plug.out" 2>&1 </dev/null
expect "a user in plugdev sets the brightness without sudo" test $? = 0
expect "... and the display gets level 0x1e" grep -qx "display output $(report 1e)" "$W/log"
expect "... but cannot read the display's node" cannot reads_node plug /dev/hidraw1
# A user outside plugdev tries to hold the record's lock while plugdev
# steps; first with the directory as older packages made it.
expect "a writer can take the record's lock" su -s /bin/sh plug -c "flock -x -n /var/lib/brightness true" </dev/null
for mode in 2775 2771; do
    chmod $mode /var/lib/brightness
    su -s /bin/sh user -c "flock -x /var/lib/brightness sleep 5" > "$W/flock.out" 2>&1 </dev/null &
    flock_pid=$!
    sleep 2
    t0=$(cut -d' ' -f1 /proc/uptime)
    su -s /bin/sh plug -c "brightness-ctl set +1" > "$W/step.out" 2>&1 </dev/null
    step_status=$?
    t1=$(cut -d' ' -f1 /proc/uptime)
    echo "NOTE lock, directory $mode: user's flock $(kill -0 $flock_pid 2>/dev/null && echo holds || echo "failed: $(cat "$W/flock.out")"); plugdev's step: exit $step_status in $(echo "$t0 $t1" | awk '{ printf "%.2f", $2 - $1 }') s $(cat "$W/step.out")"
    wait $flock_pid
    su -s /bin/sh plug -c "brightness-ctl set 3" > /dev/null 2>&1 </dev/null
done
expect "a user outside plugdev cannot lock the record" grep -q 'Permission denied' "$W/flock.out"
expect "... and a step by plugdev is set and remembered at once" \
    test "$step_status:$(cat "$W/step.out")" = "0:" -a "$(echo "$t0 $t1" | awk '{ print ($2 - $1 < 2) }')" = 1
su -s /bin/sh user -c "brightness-ctl set 3" > "$W/user.out" 2>&1 </dev/null
expect "a user outside plugdev gets exit 3" test $? = 3
expect "... and the message naming the rule" grep -q '70-brightness.rules' "$W/user.out"
expect "... its package" grep -qF 'the brightness-tools package installs' "$W/user.out"
expect "... and the command that joins plugdev" grep -qF 'sudo adduser $USER plugdev, then log in again' "$W/user.out"
# The plugdev user's level is remembered; what the restore unit runs for a
# display that appears gives it back after a re-plug.
display unplug
udevadm settle -t 30
display plug
wait_for 10 test -e /dev/hidraw1
udevadm settle -t 30
sent=$(grep -cx "display output $(report 1e)" "$W/log")
/usr/bin/brightness-ctl restore --device /dev/hidraw1 > "$W/restore.out" 2>&1
expect "the restore unit's command succeeds after a re-plug" test $? = 0
expect "... and sends the remembered level 0x1e again" test "$(grep -cx "display output $(report 1e)" "$W/log")" = $((sent + 1))
# Off and on again, as a plugdev user would from a script.
su -s /bin/sh plug -c "brightness-ctl off" > "$W/off.out" 2>&1 </dev/null
expect "brightness-ctl off succeeds" test $? = 0
expect "... and sends 0" test "$(outputs | tail -n1)" = "display output $(report 00)"
expect "... and get still shows the remembered level, off" \
    test "$(/usr/bin/brightness-ctl get 2>&1)" = "/dev/hidraw1 0483:5750: 30% remembered, off (the level last set here; the display cannot be read back)"
su -s /bin/sh plug -c "brightness-ctl on" > "$W/on.out" 2>&1 </dev/null
expect "brightness-ctl on succeeds" test $? = 0
expect "... and sends the remembered level 0x1e again" test "$(outputs | tail -n1)" = "display output $(report 1e)"
expect "... and get shows it on" test "$(/usr/bin/brightness-ctl 2>&1)" = "/dev/hidraw1 0483:5750 virtual-misc-uhid: 30% remembered, on"
# The window reads too: away from the seat, plugdev is not enough for it.
BRIGHTNESS=/usr/bin/brightness brightness_start plug offscreen -b 5
expect "the installed window does not open the display for plugdev alone" wait_for 90 searched_in_vain 10
brightness_stop
expect "... and sends nothing to it" test "$(lines "display output $(report 32)" "$W/log")" = 0
BRIGHTNESS=/usr/bin/brightness brightness_start root offscreen -b 5
expect "the installed window opens the display as root" wait_for 90 grep -qx 'hidraw:1' "$W/err"
expect "... and sends level 0x32" wait_for 10 grep -qx "display output $(report 32)" "$W/log"
brightness_stop
expect "the installed window printed Bright=5" test "$(cat "$W/out")" = "Bright=5"
expect "the keyboard's node keeps its mode" test "$(mode_of /dev/hidraw0)" = "root 600"
}

# The race between a plug and udev's rule, when the rule is the only
# access: how often brightness-ctl, run by plugdev as soon as the node
# exists, still finds it refused. (The window, which also reads, gets its
# access at the seat, which the guest has not.) Runs on the package
# scenario's display and installed package (so only after it), and removes
# both.
race() {
W=/tmp/package
scenario=race
plugs=20
refused=0
n=1
while [ $n -le $plugs ]; do
    display unplug
    wait_for 10 cannot test -e /dev/hidraw1
    display plug
    wait_for 10 test -e /dev/hidraw1
    su -s /bin/sh plug -c "brightness-ctl set 5" > /dev/null 2>&1 </dev/null
    [ $? = 3 ] && refused=$((refused + 1))
    n=$((n + 1))
done
echo "NOTE race: $refused of $plugs plugs found refused by brightness-ctl with the udev rule as the only access"
expect "every plug was measured" test $n -gt $plugs

$DPKG --purge brightness brightness-tools > "$W/purge.log" 2>&1
expect "dpkg --purge removes the packages" test $? = 0
expect "... and its program and rule" test ! -e /usr/bin/brightness -a ! -e /usr/lib/udev/rules.d/70-brightness.rules
expect "... and the record's directory" test ! -e /var/lib/brightness
display_stop
}

# The rule's form on a real USB HID device: QEMU's USB keyboard (0627:0001)
# stands in for the display in a copy of the rule's first identity. A USB
# device's attributes (ATTRS), which the rule no longer uses, would also
# match through any device above the node: here the xHCI root hub.
usb_forms() {
new_scenario usb_forms
udev_start
while read -r module; do insmod "$module"; done < /etc/guest-modules-usb
node=""
find_usb_node() {
    for n in /sys/class/hidraw/hidraw*; do
        grep -q '^HID_ID=0003:00000627:00000001$' "$n/device/uevent" 2>/dev/null && node=/dev/${n##*/} && return
    done
    return 1
}
expect "QEMU's USB keyboard has a hidraw node" wait_for 30 find_usb_node
udevadm settle -t 30
# The bus place as brightness-ctl computes it is udev's own ID_PATH, here
# for an xHCI controller on PCI behind the machine's PCIe host bridge.
n=${node#/dev/hidraw}
id_path=$(udevadm test-builtin path_id "/sys/class/hidraw/hidraw$n" 2>/dev/null | sed -n 's/^ID_PATH=//p')
place=$($B/bus-place "$n")
echo "$scenario: udevadm test-builtin path_id: ID_PATH=$id_path"
echo "$scenario: bus-place $n: $place"
expect "the bus place of the USB keyboard's node is udev's ID_PATH" test -n "$place" -a "$place" = "$id_path"
/usr/bin/dpkg-deb --fsys-tarfile /pkg/brightness-tools_*_armhf.deb \
    | tar -xO ./usr/lib/udev/rules.d/70-brightness.rules > "$W/rules"
apply_rule() {
    chown root:root "$node"; chmod 600 "$node"
    printf '%s\n' "$1" > /etc/udev/rules.d/70-form.rules
    udevadm control --reload-rules
    udevadm trigger --action=add "$node"
    udevadm settle -t 30
    rm /etc/udev/rules.d/70-form.rules
}
expect "the package's rule has no ATTRS lines" cannot grep -q '^[^#]*ATTRS' "$W/rules"
apply_rule "$(grep -m1 '^SUBSYSTEM=="hidraw", KERNELS=="0003:0EEF:0005' "$W/rules" | sed 's/0003:0EEF:0005/0003:0627:0001/')"
expect "the rule's form gives a USB device's node to plugdev, write only" test "$(mode_of "$node")" = "plugdev 620"
apply_rule 'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="1d6b", MODE="0620", GROUP="plugdev"'
echo "NOTE usb_forms: an ATTRS line naming the root hub (1d6b) leaves the keyboard's node at: $(mode_of "$node")"
chown root:root "$node"; chmod 600 "$node"
}

# Restore on plug through the package's udev rule and restore unit, with
# systemd as the first process (after the other scenarios; see init).
plug_restore() {
new_scenario plug_restore
expect "systemd is the first process" test "$(cat /proc/1/comm)" = systemd
$DPKG --purge brightness brightness-tools > /dev/null 2>&1
forget_users
display_start -n -t "$W/stamps"
$DPKG -i $PACKAGES > "$W/dpkg.log" 2>&1
expect "dpkg -i installs the package under systemd, on a running bus" test $? = 0 -a -S /run/dbus/system_bus_socket
sed "s/^/$scenario| /" "$W/dpkg.log"
systemctl start brightness-idle.service
expect "after a fresh install brightness-idle owns its bus name" wait_for 20 owns_idle_name
systemctl stop brightness-idle.service
expect "systemd knows the restore unit" \
    test "$(systemctl show -p LoadState --value brightness-restore@hidraw0.service)" = loaded
# Nothing remembered yet: the unit runs and writes nothing.
expect "with nothing remembered a plug starts the restore unit for the display's node" plug_and_restore
expect "... which succeeds" test "$(systemctl show -p Result --value "$unit")" = success
expect "... and the display gets nothing" test "$(lines '^display output' "$W/log")" = "$sent"
expect "... and its node is plugdev's, write only" test "$(mode_of "$node")" = "plugdev 620"
su -s /bin/sh plug -c "brightness-ctl set 3" > "$W/plug.out" 2>&1 </dev/null
expect "a user in plugdev sets level 3" test $? = 0
expect "... and the display gets 0x1e" grep -qx "display output $(report 1e)" "$W/log"
display unplug
wait_for 10 no_display
expect "a display plugged in again starts the restore unit again" plug_and_restore
expect "... which succeeds" test "$(systemctl show -p Result --value "$unit")" = success
expect "... and gives the display the remembered level" \
    test "$(outputs | tail -n +$((sent + 1)))" = "display output $(report 1e)"
systemctl --no-pager status "$unit" 2>&1 | sed "s/^/$scenario| /"
exposure=$(systemd-analyze security --no-pager "$unit" 2>&1 | tail -n 1)
echo "NOTE plug_restore: $exposure"
expect "the restore unit's exposure is at most 2.0" \
    test "$(echo "$exposure" | sed -n 's/.*exposure level for .*: \([0-9.]*\) .*/\1/p' | awk '{ print ($1 <= 2.0) }')" = 1
journalctl --no-pager -o short-monotonic -u 'brightness-restore@*' 2>&1 | sed "s/^/$scenario| /"
# Plug -> restored level, against udev's own time from the kernel's event
# to the event it sends once its rules are applied, plug by plug; and
# against the floor of a unit started on a plug: an empty oneshot unit under
# the same name, so the same rule starts it for the same display, its plug
# -> done timed in turns with the shipped unit's plugs.
udevadm monitor --kernel --udev --subsystem-match=hidraw > "$W/monitor" 2>&1 &
monitor_pid=$!
sleep 1
: > "$W/times"; : > "$W/floor"
override=/etc/systemd/system/brightness-restore@.service
for i in 1 2 3 4 5; do
    time_plug "$W/times"
    printf '[Unit]\nBindsTo=dev-%%i.device\nAfter=dev-%%i.device\n[Service]\nType=oneshot\nExecStart=/bin/true\n' > "$override"
    systemctl daemon-reload
    time_plug "$W/floor"
    rm "$override"
    systemctl daemon-reload
done
kill "$monitor_pid"
sed "s/^/$scenario| plug output kernel-event udev-event unit-process unit-done: /" "$W/times"
sed "s/^/$scenario| floor: plug - kernel-event udev-event unit-process unit-done: /" "$W/floor"
expect "each of 5 plugs was timed from the plug to the restored level and in udev" \
    test "$(awk 'NF == 6' "$W/times" | wc -l)" = 5
expect "... and 5 plugs of the empty unit from the plug to its end" \
    test "$(awk 'NF == 6' "$W/floor" | wc -l)" = 5
echo "NOTE plug_restore: $(plug_ratio < "$W/times")"
restored=$(awk '{ print ($2 - $1) * 1000 }' "$W/times" | median)
floor=$(awk '{ print ($6 - $1) * 1000 }' "$W/floor" | median)
echo "NOTE plug_restore: plug -> restored level $restored ms; the empty unit's plug -> done $floor ms;" \
     "ratio $(awk -v a="$restored" -v b="$floor" 'BEGIN { printf "%.2f", a / b }') (medians of 5, in turns)"
echo "NOTE plug_restore: the empty unit: udev's event -> its process forked $(awk '{ print ($5 - $4) * 1000 }' "$W/floor" | median) ms," \
     "-> done $(awk '{ print ($6 - $5) * 1000 }' "$W/floor" | median) ms;" \
     "the restore: -> done $(awk '{ print ($6 - $5) * 1000 }' "$W/times" | median) ms"
# The restore's own command, run directly: the part of the last figure that
# is brightness-ctl's. Coreutils' date: busybox's, which the shell would
# run first, has no nanoseconds.
for i in 1 2 3 4 5; do
    a=$(/usr/bin/date +%s.%N)
    /usr/bin/brightness-ctl restore --device "$node" > /dev/null 2>&1
    b=$(/usr/bin/date +%s.%N)
    ms "$a" "$b"; echo
done > "$W/direct"
echo "NOTE plug_restore: brightness-ctl restore run directly, start to exit: $(median < "$W/direct") ms (median of 5)"
echo "NOTE plug_restore: of which plug -> kernel event $(awk '{ print ($3 - $1) * 1000 }' "$W/times" | median) ms," \
     "udev's event -> the unit's process forked $(awk '{ print ($5 - $4) * 1000 }' "$W/times" | median) ms," \
     "-> report at the display $(awk '{ print ($2 - $5) * 1000 }' "$W/times" | median) ms"
display_stop
}

# The restore at boot with the display already there. Before systemd (see
# init): the package installed and a level remembered, the display left
# plugged in, and a udev monitor that lives on to see udev's coldplug.
coldplug_prepare() {
new_scenario coldplug
$DPKG --purge brightness brightness-tools > /dev/null 2>&1
$DPKG -i $PACKAGES > "$W/dpkg.log" 2>&1
expect "dpkg -i installs the package before the boot under systemd" test $? = 0
display_start -t "$W/stamps"
wait_for 10 display_node > /dev/null
/usr/bin/brightness-ctl set 3 > "$W/set.out" 2>&1
expect "a level is remembered before the boot" test $? = 0
/usr/bin/brightness-ctl off >> "$W/set.out" 2>&1
expect "... and the display is turned off" test $? = 0
expect "... and gets 0x1e, then 0" test "$(outputs | tr '\n' ' ')" = "display output $(report 1e) display output $(report 00) "
udevadm monitor --kernel --udev --subsystem-match=hidraw > "$W/monitor" 2>&1 &
echo $! > "$W/monitor.pid"
}

# Under systemd: udev's coldplug applies the rule to the display that was
# there, and the restore unit gives it its level.
coldplug() {
scenario=coldplug
W=/tmp/coldplug
node=$(display_node)
unit="brightness-restore@${node#/dev/}.service"
expect "at boot udev's coldplug starts the restore unit for the display that was there" \
    wait_for 60 ran_since "$unit" 0
sleep 2  # a second start of the unit would show by now
expect "... which succeeds" test "$(systemctl show -p Result --value "$unit")" = success
expect "... and lights the display at its remembered level, although it was off" \
    test "$(outputs | tail -n +3)" = "display output $(report 1e)"
expect "... and its node is plugdev's, write only" test "$(mode_of "$node")" = "plugdev 620"
restored=$(grep ' display output ' "$W/stamps" | sed -n 3p | cut -d' ' -f1)
boot=$(systemctl show -p UserspaceTimestampMonotonic --value)
trigger=$(systemctl show -p InactiveExitTimestampMonotonic --value systemd-udev-trigger.service)
kernel=$(event_after "$W/monitor" 0 KERNEL)
udev=$(event_after "$W/monitor" 0 UDEV)
expect "the boot was timed to the restored level and in udev" test -n "$restored" -a -n "$kernel" -a -n "$udev"
sed "s/^/$scenario| /" "$W/monitor"
echo "NOTE coldplug: systemd start -> restored level $(ms "$(seconds "$boot")" "$restored") ms;" \
     "udev's coldplug start -> restored $(ms "$(seconds "$trigger")" "$restored") ms;" \
     "coldplug event -> restored $(ms "$kernel" "$restored") ms; udev's event -> rule applied $(ms "$kernel" "$udev") ms;" \
     "ratio $(awk -v r="$restored" -v k="$kernel" -v u="$udev" 'BEGIN { printf "%.1f", (r - k) / (u - k) }')"
process=$(seconds "$(systemctl show -p ExecMainStartTimestampMonotonic --value "$unit")")
echo "NOTE coldplug: of which udev's event -> the unit's process forked $(ms "$udev" "$process") ms," \
     "-> report at the display $(ms "$process" "$restored") ms"
journalctl --no-pager -o short-monotonic -u "$unit" 2>&1 | sed "s/^/$scenario| /"
kill "$(cat "$W/monitor.pid")"
display quit
wait_for 10 no_display
}
# As on a system that never had the package: without its users, which a
# purge keeps.
forget_users() {
    for f in /etc/passwd /etc/shadow /etc/group /etc/gshadow; do
        [ -f "$f" ] || continue
        awk -F: -v OFS=: '$1 !~ /^_brightness-/ { if (NF >= 4) { n = split($4, m, ","); $4 = "";
            for (i = 1; i <= n; i++) if (m[i] !~ /^_brightness-/) $4 = $4 ($4 == "" ? "" : ",") m[i] } print }' \
            "$f" > "$f.new" && cat "$f.new" > "$f" && rm "$f.new"
    done
}
# brightness-idle owns its name on the system bus.
owns_idle_name() { busctl status org.brightness.Idle1 > /dev/null 2>&1; }
# The display's node, by its identity.
display_node() {
    for n in /sys/class/hidraw/hidraw*; do
        grep -q '^HID_ID=0003:00000483:00005750$' "$n/device/uevent" 2>/dev/null && echo "/dev/${n##*/}" && return
    done
    return 1
}
no_display() { ! display_node > /dev/null; }
# The time on the first line after line N of a stamps file (uhid-display -t)
# that matches RE.
stamp_after() { tail -n +$(($2 + 1)) "$1" | grep -m1 -e "$3" | cut -d' ' -f1; }
# The time of the first add event for the display's node after line N of
# udevadm monitor's output, as SOURCE (KERNEL or UDEV) saw it.
event_after() {
    tail -n +$(($2 + 1)) "$1" \
        | sed -n "s|^$3 *\[\([0-9.]*\)\] add .*/0003:0483:5750\.[0-9A-F]*/hidraw/hidraw[0-9]* (hidraw)\$|\1|p" | head -n1
}
# time_plug FILE: unplugs the display and plugs it in again, and adds to FILE
# a line of the plug's times (seconds since boot): the plug and the restored
# level at the display (uhid-display -t, stamps in $W/stamps; "-" when none
# came), the kernel's event and udev's (udevadm monitor --kernel --udev, in
# $W/monitor), and the restore unit's process forked and ended; nothing when
# the unit did not run.
time_plug() {
    display unplug
    wait_for 10 no_display
    s=$(lines '' "$W/stamps")
    m=$(lines '' "$W/monitor")
    plug_and_restore || return 0
    output=$(stamp_after "$W/stamps" "$s" ' display output ')
    echo "$(stamp_after "$W/stamps" "$s" ' display plug$') ${output:--}" \
         "$(event_after "$W/monitor" "$m" KERNEL) $(event_after "$W/monitor" "$m" UDEV)" \
         "$(seconds "$(systemctl show -p ExecMainStartTimestampMonotonic --value "$unit")")" \
         "$(seconds "$(systemctl show -p ExecMainExitTimestampMonotonic --value "$unit")")" >> "$1"
}
# Plug -> restored against udev's own time, medians of time_plug's lines.
plug_ratio() {
    awk '{ print ($2 - $1) * 1000, ($4 - $3) * 1000 }' > "$W/ratio"
    plug=$(cut -d' ' -f1 "$W/ratio" | median)
    rule=$(cut -d' ' -f2 "$W/ratio" | median)
    echo "plug -> restored level $plug ms; udev's event -> rule applied $rule ms;" \
         "ratio $(awk -v a="$plug" -v b="$rule" 'BEGIN { printf "%.1f", a / b }') (medians of $(wc -l < "$W/ratio"))"
}
# Milliseconds from A to B, both in seconds; seconds from microseconds.
ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", (b - a) * 1000 }'; }
seconds() { awk -v u="$1" 'BEGIN { printf "%.6f", u / 1000000 }'; }
# The median of numbers, one a line.
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) printf "%.1f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# UNIT has run to its end since SINCE (microseconds since boot).
ran_since() {
    t=$(systemctl show -p ExecMainExitTimestampMonotonic --value "$1")
    [ "${t:-0}" -gt "$2" ] && [ "$(systemctl show -p ActiveState --value "$1")" != activating ]
}
# Plugs the display in and waits for the restore unit started for its node
# to end (the restore's retry window and then some); false if it never ran.
# Sets node, unit and sent (the display's output reports before the plug).
plug_and_restore() {
    sent=$(lines '^display output' "$W/log")
    since=$(awk '{ printf "%d", $1 * 1000000 }' /proc/uptime)
    display plug
    wait_for 10 display_node > /dev/null
    node=$(display_node)
    unit="brightness-restore@${node#/dev/}.service"
    wait_for 20 ran_since "$unit" "$since"
}
