# Sourced by run.sh.

# The MQTT bridge from the package, as its unit runs it (a user in plugdev),
# against Debian's broker on the guest's loopback: a command reaches the
# uhid display, and unplug and replug show on the discovery and
# availability topics.
mqtt() {
new_scenario mqtt
udev_start
$DPKG -i $PACKAGES > "$W/dpkg.log" 2>&1
expect "dpkg -i installs the package with the bridge" installed_file /usr/bin/brightness-mqtt
echo "NOTE mqtt: the unit's $(systemd-analyze security --offline=yes /usr/lib/systemd/system/brightness-mqtt.service 2>&1 | tail -n 1)"
# The node id comes from the machine id, which this guest has only once made.
[ -s /etc/machine-id ] || systemd-machine-id-setup > /dev/null 2>&1
expect "the broker accepts clients" broker_start '#'
display_start -k
udevadm settle -t 30
run_as plug "exec /usr/bin/brightness-mqtt -h 127.0.0.1 > $W/bridge.log 2>&1" &
bridge_pid=$!
config() { grep -E "^homeassistant/light/brightness_[0-9a-f]{12}/virtual-misc-uhid/config" "$W/sub.log"; }
expect "the display is announced, its unique id from the machine id" wait_for 60 config
node=$(config | head -n1 | cut -d/ -f3)
topic="brightness/$node/virtual-misc-uhid"
# Each wait below calls a function, so that the log is read again on every try.
online() { [ "$(grep "^$topic/availability " "$W/sub.log" | tail -n1)" = "$topic/availability $1" ]; }
announced() { [ "$(config | grep -c '{')" -ge "$1" ]; }
withdrawn() { [ "$(config | tail -n1 | cut -d' ' -f2-)" = "(null)" ]; }
last_output() { [ "$(outputs | tail -n1)" = "display output $(report "$1")" ]; }
bridge_offline() { [ "$(grep "^brightness/$node/availability " "$W/sub.log" | tail -n1)" = "brightness/$node/availability offline" ]; }
expect "... and available" wait_for 10 online online
mosquitto_pub -h 127.0.0.1 -t "$topic/set" -m '{"brightness":30}'
expect "a command on its topic sets the display to 0x1e" wait_for 20 grep -qx "display output $(report 1e)" "$W/log"
expect "... and the state says so" wait_for 10 grep -q "^$topic/state .*\"brightness\":30" "$W/sub.log"
mosquitto_pub -h 127.0.0.1 -t brightness/all/set -m '{"state":"OFF"}'
expect "OFF on the group topic sends 0" wait_for 20 grep -qx "display output $(report 00)" "$W/log"
expect "... and the state is OFF, 30 remembered" \
    wait_for 10 grep -q "^$topic/state .*\"remembered_brightness\":30.*\"state\":\"OFF\"" "$W/sub.log"
display unplug
expect "unplugged: the display is unavailable" wait_for 20 online offline
# Kept: an empty config would delete the entity, and the name and area
# given to it in Home Assistant.
expect "... and its discovery config kept" test "$(config | tail -n1 | cut -c1-200 | grep -c '{')" = 1
display plug
expect "plugged in again: announced again" wait_for 30 announced 2
expect "... and available" wait_for 10 online online
mosquitto_pub -h 127.0.0.1 -t "$topic/set" -m '{"state":"ON"}'
expect "ON brings back the remembered 0x1e" wait_for 20 last_output 1e
kill "$bridge_pid" $(pidof brightness-mqtt) 2>/dev/null
wait "$bridge_pid" 2>/dev/null
expect "stopped, the bridge says it is offline" wait_for 10 bridge_offline
run_as plug "/usr/bin/brightness-mqtt -h 127.0.0.1 --forget virtual-misc-uhid >> $W/bridge.log 2>&1"
expect "--forget empties its discovery config" wait_for 10 withdrawn
sed "s/^/$scenario| /" "$W/bridge.log"
kill "$sub_pid" "$broker_pid" 2>/dev/null
display_stop
}

# The package's unit under systemd (after plug_restore, which installed the
# package): its own user in plugdev, its sandbox and its device list
# still let it reach the broker, udev and the display.
mqtt_unit() {
new_scenario mqtt_unit
broker_start '#'
display_start -n
echo 'BRIGHTNESS_MQTT_OPTIONS="-h 127.0.0.1 --node-id unit"' > /etc/default/brightness-mqtt
systemctl start brightness-mqtt
expect "the unit starts" wait_for 20 unit_active brightness-mqtt
# Not root, and in plugdev (46).
own_user() {
    awk '/^Uid:/ { root = $2 == 0 } /^Groups:/ { for (i = 2; i <= NF; i++) if ($i == 46) found = 1 }
         END { exit root || !found }' "/proc/$(systemctl show -p MainPID --value brightness-mqtt)/status"
}
expect "... under a user of its own in plugdev" own_user
display plug
announced_unit() { grep -q "^homeassistant/light/unit/virtual-misc-uhid/config {" "$W/sub.log"; }
expect "a display plugged in is announced through udev" wait_for 30 announced_unit
sent=$(lines '^display output' "$W/log")
mosquitto_pub -h 127.0.0.1 -t brightness/all/set -m '{"brightness":70}'
expect "a command reaches the display through the sandbox" wait_for 20 grep -qx "display output $(report 46)" "$W/log"
expect "... and the record" wait_for 10 grep -q "^virtual-misc-uhid 0483:5750 70 " /var/lib/brightness/levels
systemctl stop brightness-mqtt
expect "stopped cleanly" test "$(systemctl show -p Result --value brightness-mqtt)" = success
journalctl --no-pager -o cat -u brightness-mqtt 2>&1 | sed "s/^/$scenario| /"
rm /etc/default/brightness-mqtt
kill "$sub_pid" "$broker_pid" 2>/dev/null
display_stop
}
