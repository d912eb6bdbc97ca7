# Sourced by run.sh: brightness-idle's service on the real system bus, with
# the packaged unit (a dynamic user in group plugdev) and systemd-logind's
# idle inhibitor. Uses idle.sh's person, display and probe helpers.

idle_bus_object="org.brightness.Idle1 /org/brightness/Idle1 org.brightness.Idle1"
# bus_get USER PROPERTY: busctl's answer ("b true", "u 3"), or its error.
bus_get() { run_as "$1" "busctl get-property $idle_bus_object $2 2>&1"; }
bus_says() { test "$(bus_get root "$1")" = "$2"; }
# The system bus's policy turned the call down (not a missing name).
refused() { grep -q -e 'Rejected send message' -e 'ccess denied' "$1"; }

idle_bus() {
new_scenario idle_bus
installed_file /usr/bin/brightness-idle || $DPKG -i $PACKAGES > "$W/dpkg.log" 2>&1
rcu_expedite
# The guest's init leaves the bus and logind to the scenarios that need them.
systemctl start dbus.socket systemd-logind.service
expect "the system bus and logind are running" \
    test "$(systemctl is-active dbus.service systemd-logind.service | tr '\n' ' ')" = "active active "
display_start -t "$W/stamps"
person_start
udevadm settle -t 30
# --ambient without a sensor: the room's light comes from Home Assistant.
echo 'BRIGHTNESS_IDLE_OPTIONS="--after 3s --ambient"' > /etc/default/brightness-idle
/usr/bin/brightness-ctl set 70% > /dev/null 2>&1
hex=46
systemctl start brightness-idle.service
expect "the service owns org.brightness.Idle1" wait_for 20 bus_says Idle "b false"
expect "... as a user of its own" test "$(awk '/^Uid:/ { print $2 }' \
    "/proc/$(systemctl show -p MainPID --value brightness-idle.service)/status")" -gt 0
expect "... and shows its quiet time" bus_says After "u 3"
bus_get user Idle > "$W/user.out"
expect "a user not in plugdev is refused" refused "$W/user.out"
# Not Idle, which the quiet time of 3 s may already have turned by now.
expect "a user in plugdev reads it" test "$(bus_get plug After)" = "u 3"

# The lock cannot end before its sleep does: the earliest end, for the
# window below, since this script notices the end only some time after.
earliest_end=$(awk -v t="$(uptime_now)" 'BEGIN { print t + 12 }')
systemd-inhibit --what=idle --who=player --why=film sleep 12 &
inhibitor=$!
expect "an idle inhibitor taken through logind is seen" wait_for 10 bus_says Inhibited "b true"
offs=$(received 00)
person tap
sleep 6
expect "... and the screen stays lit past --after" test "$(received 00)" = "$offs"
wait "$inhibitor"
ended=$(uptime_now)
offs=$(received 00)
expect "the inhibitor's end is seen" wait_for 10 bus_says Inhibited "b false"
expect "... then the screen goes off" wait_for 15 more_of 00 "$offs"
off_at=$(received_at 00)
expect "... 3 to 5 s after the end" within "$earliest_end" "$off_at" 3 99
expect "... ($earliest_end, $ended, $off_at)" within "$ended" "$off_at" -99 5
woke=$(received "$hex")
run_as plug "busctl call $idle_bus_object Wake" > "$W/wake.out" 2>&1
expect "Wake from a user in plugdev lights it at 70%" wait_for 10 more_of "$hex" "$woke"
expect "... and the touch screen is let go" wait_for 5 let_go
run_as user "busctl call $idle_bus_object Wake" > "$W/wake.out" 2>&1
expect "Wake from a user not in plugdev is refused" refused "$W/wake.out"
sed "s/^/$scenario| refused: /" "$W/user.out" "$W/wake.out"

# Home Assistant in charge: brightness-mqtt's unit follows brightness-idle on
# the bus, with the real broker. The quiet time after the Wake above runs
# meanwhile: its off is counted from here, whenever the bridge is up.
offs=$(received 00)
broker_start 'brightness/#'
echo 'BRIGHTNESS_MQTT_OPTIONS="-h 127.0.0.1 --node-id ha --illuminance-topic hass/lux"' > /etc/default/brightness-mqtt
mosquitto_sub -h 127.0.0.1 -v -t 'homeassistant/#' > "$W/all.log" 2>&1 &
all_pid=$!
systemctl start brightness-mqtt.service
ha=brightness/ha/idle
published() { grep -c "^$ha/$1 " "$W/sub.log"; }
online_times() { grep -c "^$ha/availability online\$" "$W/sub.log"; }
more_online() { [ "$(online_times)" -gt "$1" ]; }
expect "brightness-mqtt's unit follows it on the bus: its entities online" \
    wait_for 30 grep -qx "$ha/availability online" "$W/sub.log"
expect "quiet: off" wait_for 15 more_of 00 "$offs"
expect "... Home Assistant's Idle shows it" wait_for 10 grep -qx "$ha/idle/state ON" "$W/sub.log"
woke=$(received "$hex")
mosquitto_pub -h 127.0.0.1 -t "$ha/wake/set" -m PRESS
expect "Home Assistant's Wake lights it" wait_for 10 more_of "$hex" "$woke"
mosquitto_pub -h 127.0.0.1 -t "$ha/stay_awake/set" -m ON
expect "Stay awake: published ON" wait_for 10 grep -qx "$ha/stay_awake/state ON" "$W/sub.log"
offs=$(received 00)
sleep 6
expect "... and the screen stays lit past --after" test "$(received 00)" = "$offs"
ended=$(uptime_now)
mosquitto_pub -h 127.0.0.1 -t "$ha/stay_awake/set" -m OFF
expect "Stay awake off: off again" wait_for 15 more_of 00 "$offs"
expect "... 3 to 5 s after" within "$ended" "$(received_at 00)" 3 5
expect "each change published once: Stay awake OFF, ON, OFF" test "$(published stay_awake/state)" = 3
# The room's light from a Home Assistant sensor, through brightness-mqtt, on
# a screen kept lit at 70 %.
woke=$(received "$hex")
mosquitto_pub -h 127.0.0.1 -t "$ha/wake/set" -m PRESS
mosquitto_pub -h 127.0.0.1 -t "$ha/stay_awake/set" -m ON
wait_for 10 more_of "$hex" "$woke"
expect "--ambient: Home Assistant is offered the Illuminance sensor and Auto brightness" \
    grep -q '^homeassistant/switch/ha/idle_auto_brightness/config {' "$W/all.log"
mosquitto_pub -h 127.0.0.1 -r -t hass/lux -m 5
expect "Home Assistant's 5 lux reach brightness-idle: the level fades to the curve's 10 %" wait_for 30 level_is 10
expect "... and its Illuminance sensor shows the light it uses" wait_for 10 grep -qx "$ha/illuminance/state 5" "$W/sub.log"
mosquitto_pub -h 127.0.0.1 -t "$ha/auto_brightness/set" -m OFF
expect "Auto brightness off: published OFF" wait_for 10 grep -qx "$ha/auto_brightness/state OFF" "$W/sub.log"
mosquitto_pub -h 127.0.0.1 -r -t hass/lux -m 500
sleep 5
expect "... and 500 lux now change nothing" level_is 10
mosquitto_pub -h 127.0.0.1 -r -t hass/lux -n
mosquitto_pub -h 127.0.0.1 -t "$ha/stay_awake/set" -m OFF
kill "$all_pid" 2>/dev/null
# The system bus restarted under both: each finds it again on its own.
onlines=$(online_times)
mains() { systemctl show -p MainPID --value brightness-idle.service brightness-mqtt.service | tr '\n' ' '; }
pids=$(mains)
systemctl restart dbus.service
expect "the system bus restarted: brightness-idle owns its name again" wait_for 30 bus_says After "u 3"
expect "... and brightness-mqtt's entities are online again" wait_for 30 more_online "$onlines"
expect "... both still the processes they were ($pids)" test "$(mains)" = "$pids"
systemctl stop brightness-mqtt.service
kill "$sub_pid" "$broker_pid" 2>/dev/null
sed "s/^/$scenario| mqtt: /" "$W/sub.log" | grep "/idle/" | tail -n 20
rm -f /etc/default/brightness-mqtt

systemctl stop brightness-idle.service
journalctl --no-pager -o short-monotonic -u brightness-idle.service -u brightness-mqtt.service -u dbus.service 2>&1 | sed "s/^/$scenario| /"
rm -f /etc/default/brightness-idle
person_stop
display_stop
rcu_restore
}
