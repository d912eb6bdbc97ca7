# The scenarios, run by the guest's init as root, in this order (only those
# named in the kernel's command line as scenarios=a,b when it names any).
# Prints one PASS or FAIL line per check and ends with "N passed, N failed".
B=/opt/brightness
passed=0
failed=0
export XDG_RUNTIME_DIR=/tmp/runtime
mkdir -p -m 700 $XDG_RUNTIME_DIR

# expect DESCRIPTION COMMAND...: one check.
expect() {
    what=$1; shift
    # With the guest's uptime, to see how long each step took.
    if "$@"; then
        passed=$((passed + 1)); echo "PASS $scenario: $what [$(cut -d' ' -f1 /proc/uptime) s]"
    else
        failed=$((failed + 1)); echo "FAIL $scenario: $what [$(cut -d' ' -f1 /proc/uptime) s]"
    fi
}
# wait_for SECONDS COMMAND...: true once COMMAND is, false after SECONDS.
wait_for() {
    tries=$(($1 * 5)); shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || return 1
        sleep 0.2
    done
}
# report LEVEL: the brightness report for a level given as two hex digits,
# as the display logs it.
report() { printf '04aa01000000%s%062d' "$1" 0; }
lines() { grep -c "$1" "$2" 2>/dev/null || true; }

# The display: uhid-display with its log in $W/log, commands through $W/cmd.
display_start() {
    "$B/uhid-display" -l "$W/log" -c "$W/cmd" "$@" > "$W/display.out" 2>&1 &
    display_pid=$!
    wait_for 10 grep -qx ready "$W/display.out"
}
display() { echo "$1" > "$W/cmd"; }
display_stop() {
    display quit
    wait "$display_pid"
}
outputs() { grep "^display output " "$W/log"; }
last_output() { [ "$(outputs | tail -n1)" = "display output $(report "$1")" ]; }
unit_active() { [ "$(systemctl show -p ActiveState --value "$1")" = active ]; }

# broker_start TOPIC: mosquitto on 127.0.0.1:1883 (broker_pid, its log in
# $W/broker.log) and a subscriber to TOPIC writing $W/sub.log (sub_pid);
# false when the broker took no client within 20 s.
broker_start() {
    printf 'listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\nuser root\n' > "$W/broker.conf"
    mosquitto -c "$W/broker.conf" > "$W/broker.log" 2>&1 &
    broker_pid=$!
    wait_for 20 mosquitto_pub -h 127.0.0.1 -t probe -n
    up=$?
    mosquitto_sub -h 127.0.0.1 -v -t "$1" > "$W/sub.log" 2>&1 &
    sub_pid=$!
    return $up
}

# run_as USER COMMAND: COMMAND through the shell as USER, without a terminal.
run_as() {
    if [ "$1" = root ]; then sh -c "$2"; else su -s /bin/sh "$1" -c "$2"; fi </dev/null
}
# brightness_start USER PLATFORM ARGS...: the window in the background;
# standard output and error in $W/out and $W/err.
brightness_start() {
    user=$1; platform=$2; shift 2
    : > "$W/err"
    chmod 666 "$W/err"
    run_as "$user" "XDG_RUNTIME_DIR=/tmp/runtime-$user QT_QPA_PLATFORM=$platform exec ${BRIGHTNESS:-$B/brightness} $* >$W/out 2>$W/err" &
    brightness_pid=$!
}
brightness_stop() {
    # The program itself, which su started.
    kill $(pidof brightness) 2>/dev/null
    wait "$brightness_pid" 2>/dev/null
    # Into the console, which the host keeps.
    sed "s/^/$scenario| /" "$W/err"
}
# Searches have failed to open at least N nodes in all.
searched_in_vain() { [ "$(lines 'Cant open!' "$W/err")" -ge "$1" ]; }
# Searches have found the display at least N times in all.
found_times() { [ "$(lines '^hidraw:[0-9]$' "$W/err")" -ge "$1" ]; }
screenshot() {
    # A search that runs the access command for ten nodes keeps the window
    # from repainting for seconds under emulation: wait for the new frame.
    sleep 5
    # The host takes it when it reads this line.
    echo "@@screendump $1"
    sleep 2
}
new_scenario() {
    scenario=$1
    W=/tmp/$1
    mkdir -p -m 777 "$W"
    for u in root user plug; do mkdir -p -m 700 "/tmp/runtime-$u"; done
    chown user /tmp/runtime-user; chown plug /tmp/runtime-plug
}

mode_of() { stat -c '%G %a' "$1"; }
# udev, as a kiosk has it, from the scenario that first needs it on.
udev_start() {
    pidof systemd-udevd > /dev/null && return
    /usr/lib/systemd/systemd-udevd --daemon 2>/dev/null
    udevadm trigger --action=add >/dev/null 2>&1
    udevadm settle -t 60
}

# Offscreen, a keyboard-like device on hidraw0, the display on hidraw1.
offscreen() {
new_scenario offscreen
display_start -k -a
expect "the display gets hidraw1" wait_for 10 test -e /dev/hidraw1
brightness_start root offscreen -b 7
expect "the start-up report is sent" wait_for 90 grep -qx '1 send succeed' "$W/err"
sleep 2  # a second report would be here by now
fds=$(ls -l /proc/$(pidof brightness)/fd 2>/dev/null | grep -o '/dev/hidraw[0-9]' | tr '\n' ' ')
echo "$scenario: open nodes: $fds"
brightness_stop
expect "it prints Bright=7" test "$(cat "$W/out")" = "Bright=7"
expect "the display received exactly one report, level 0x46" test "$(outputs)" = "display output $(report 46)"
expect "the keyboard was opened and not taken" \
    test "$(grep -e 'dev id read error' -e '^hidraw:' "$W/err" | tr -d '\n')" = "dev id read error!!!!!!!!!hidraw:1"
expect "the keyboard received nothing" test "$(lines '^keyboard output' "$W/log")" = 0
expect "only the display's node stays open" test "$fds" = "/dev/hidraw1 "
display_stop
}

# The kiosk: the window on the frame buffer under udev, keys from a real
# input device.
kiosk() {
new_scenario kiosk
udev_start
display_start -u
udevadm settle -t 30
brightness_start root linuxfb:fb=/dev/fb0
expect "the display is found at start" wait_for 90 grep -qx 'hidraw:0' "$W/err"
sleep 4  # the first frame
screenshot kiosk
display "key 105"  # KEY_LEFT: one step down from 10
expect "a key press moves the slider and the display gets level 0x5a" \
    wait_for 15 grep -qx "display output $(report 5a)" "$W/log"
expect "the slider's move is logged" grep -qx 'action == 9' "$W/err"
screenshot kiosk-key
brightness_stop
display_stop
}

# Hot-plug under the kiosk: the display comes after the window.
kiosk_hotplug() {
new_scenario kiosk_hotplug
udev_start
display_start -n
brightness_start root linuxfb:fb=/dev/fb0
expect "the first search finds nothing" wait_for 90 searched_in_vain 10
sleep 2
display plug
expect "the uevents reach the program" wait_for 15 grep -q '^123456=add@.*/hidraw/hidraw0$' "$W/err"
expect "a display plugged in after start is found" wait_for 15 grep -qx 'hidraw:0' "$W/err"
screenshot kiosk-plugged
display unplug
expect "unplugged: the search finds nothing" wait_for 20 searched_in_vain 20
screenshot kiosk-unplugged
display plug
# The removed node's number stays taken while the program still holds its
# descriptor, so the display may come back under another number.
expect "plugged in again: found" wait_for 20 found_times 2
screenshot kiosk-plugged-again
expect "the monitor's socket was bound" test "$(lines '^bind: ' "$W/err")" = 0
brightness_stop
display_stop
}

# brightness-ctl against the real node, for each accepted identity.
ctl() {
new_scenario ctl
udev_start
for id in 0eef:0005 0483:5750 0484:5750; do
    rm -f "$W/log"
    display_start -k -i $id
    udevadm settle -t 30
    $B/brightness-ctl set 7 > "$W/ctl.out" 2>&1
    expect "$id: set 7 ends with 0" test $? = 0
    $B/brightness-ctl set 35% >> "$W/ctl.out" 2>&1
    expect "$id: the display received 0x46, then 0x23" \
        test "$(outputs | tr '\n' ' ')" = "display output $(report 46) display output $(report 23) "
    expect "$id: list names hidraw1 and its place" \
        test "$($B/brightness-ctl list --machine)" = "/dev/hidraw1 $id ok virtual-misc-uhid"
    display_stop
done
}

# The access command through a real sudo, for a user without access.
access_sudo() {
new_scenario sudo
udev_start
display_start -k
udevadm settle -t 30
brightness_start user offscreen -b 4
expect "without the sudoers line the display stays closed" wait_for 90 searched_in_vain 10
sleep 1
brightness_stop
expect "... and gets nothing" test "$(lines '^display output' "$W/log")" = 0
echo 'user ALL=(root) NOPASSWD: /usr/bin/chmod 777 /dev/hidraw[0-9]' > /etc/sudoers.d/brightness
chmod 440 /etc/sudoers.d/brightness
brightness_start user offscreen -b 4
expect "with it the window opens the display" wait_for 90 grep -qx 'hidraw:1' "$W/err"
expect "and sends level 0x28" wait_for 10 grep -qx "display output $(report 28)" "$W/log"
brightness_stop
echo "NOTE sudo: the keyboard's node after the access command: $(mode_of /dev/hidraw0)"
rm /etc/sudoers.d/brightness
display_stop
}

. /scenarios/package.sh
. /scenarios/mqtt.sh
. /scenarios/idle.sh
. /scenarios/idlebus.sh
. /scenarios/ambient.sh
. /scenarios/upgrade.sh
. /scenarios/sandbox.sh
# The guest's suite and the scenarios named on the kernel's command line
# (init has them in its environment; systemd's services have not).
suite=$(sed -n 's/.* suite=\([^ ]*\).*/\1/p' /proc/cmdline)
scenarios=$(sed -n 's/.* scenarios=\([^ ]*\).*/\1/p' /proc/cmdline)
# wanted NAME: the scenario runs: named, or, when none is named, one of the
# suite's own. Bookworm keeps those where the system around the programs
# matters (and race, which ends package); trixie runs all but the upgrade from 1.0.0, whose package needs
# bookworm's libqt5core5a, and bookworm cannot run the upgrade to trixie.
wanted() {
    case $suite:$1 in
    trixie:upgrade|bookworm:upgrade_suite) return 1 ;;
    esac
    case ",$scenarios," in
    ,,) ;;
    *,$1,*|*,${1%_prepare},*) return 0 ;;
    *) return 1 ;;
    esac
    case $suite:$1 in
    # race ends the package scenario: it removes the package and its display.
    bookworm:package|bookworm:race|bookworm:coldplug|bookworm:coldplug_prepare|bookworm:plug_restore) ;;
    bookworm:mqtt_unit|bookworm:idle_service|bookworm:idle_bus|bookworm:upgrade) ;;
    bookworm:*) return 1 ;;
    esac
}
# Under systemd (see init): the counts so far go on.
if [ -d /run/systemd/system ]; then
    read -r passed failed < /run/guest-counts
    for s in coldplug plug_restore mqtt_unit idle_service idle_bus upgrade upgrade_suite; do
        wanted $s && $s
    done
    # A measurement of some minutes, only when named.
    case ",$scenarios," in *,restore_sandbox,*) restore_sandbox ;; esac
    echo "$passed passed, $failed failed"
    exit
fi
# A measurement of some minutes, only when named.
case ",$scenarios," in *,grab_kill,*) grab_kill ;; esac
# coldplug_prepare leaves the display plugged in for the boot under systemd.
for s in offscreen kiosk kiosk_hotplug ctl access_sudo package race usb_forms mqtt idle idle_presence idle_bench ambient coldplug_prepare; do
    wanted $s && $s
done
# Without a summary here, so that a systemd that never gets to the checks
# fails the run.
under_systemd=""
for s in plug_restore coldplug mqtt_unit idle_service idle_bus upgrade upgrade_suite; do
    wanted $s && under_systemd=yes
done
case ",$scenarios," in *,restore_sandbox,*) under_systemd=yes ;; esac
if [ -n "$under_systemd" ]; then
    echo "$passed $failed" > /run/guest-counts
else
    echo "$passed passed, $failed failed"
fi
