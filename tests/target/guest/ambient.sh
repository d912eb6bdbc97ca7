# Sourced by scenarios.sh: brightness-idle following the room's light from
# a USB light sensor, made through uhid and bound by the kernel's own
# hid-sensor-hub and hid-sensor-als drivers, as a real one would be.

# The sensor: uhid-als with its log in $W/als.log, commands through $W/als.
als_start() {
    "$B/uhid-als" -x "$1" -l "$W/als.log" -c "$W/als" > "$W/als.out" 2>&1 &
    als_pid=$!
    wait_for 10 grep -qx ready "$W/als.out"
}
als() { echo "$1" > "$W/als"; }
als_stop() {
    als quit
    wait "$als_pid"
}
# The IIO device the drivers made of it.
iio_light() {
    for d in /sys/bus/iio/devices/iio:device*; do
        [ -e "$d/in_illuminance_raw" ] && { echo "$d"; return 0; }
    done
    return 1
}
# The levels the display received, in order, in percent.
levels() {
    outputs | sed -n 's/^display output 04aa01000000\(..\).*/\1/p' | while read -r h; do echo $((0x$h)); done
}
level_is() { test "$(levels | tail -n1)" = "$1"; }
# From the Nth report on, no report is more than STEP percent from the one
# before it: a fade, not a jump.
no_jump_after() {
    levels | awk -v from="$1" -v step="$2" 'NR > from && NR > 1 && ($1 - p > step || p - $1 > step) { bad = 1 }
        { p = $1 } END { exit bad }'
}
reports() { lines '^display output' "$W/log"; }
# brightness-idle has said at least N times that it reads the sensor.
sensor_found() { [ "$(lines "the room's light from the light sensor" "$W/idle.err")" -ge "$1" ]; }
# seconds_to LEVEL: how long from now until the display received LEVEL
# (at most 60 s); empty when it never did.
seconds_to() {
    t0=$(uptime_now)
    wait_for 60 level_is "$1" || return 0
    awk -v a="$t0" -v b="$(uptime_now)" 'BEGIN { printf "%.1f", b - a }'
}

ambient() {
idle_begin ambient
while read -r module; do
    insmod "$module" || echo "ambient: insmod $module failed"
done < /etc/guest-modules-als
als_start 5
expect "the kernel's drivers make an IIO light sensor of it" wait_for 30 iio_light
dev=$(iio_light)
expect "the kernel reads 5 lux from it by asking for its input report" \
    test "$(cat "$dev/in_illuminance_raw")" = 5
expect "... and the sensor answered that request" grep -qx 'get input 5' "$W/als.log"
$B/brightness-ctl set 50% > /dev/null 2>&1
rm -f /var/lib/brightness/ambient-curve
idle_start --ambient --after 1h -v
expect "brightness-idle finds the sensor" wait_for 20 grep -q "the room's light from the light sensor" "$W/idle.err"
took=$(seconds_to 10)
expect "at 5 lux the level fades to the curve's 10 % (took ${took:-over 60} s)" test -n "$took"
from=$(reports)
als "lux 500"
took=$(seconds_to 70)
echo "NOTE ambient: 5 -> 500 lux: the display at 70 % after ${took:-over 60} s"
expect "a lasting step to 500 lux reaches 70 % within 40 s (took ${took:-over 60} s)" \
    awk -v t="${took:-99}" 'BEGIN { exit !(t <= 40) }'
expect "... as a fade: no report more than 10 % from the one before" no_jump_after "$from" 10
# A person's level while the room reads 500 lux is learned, and holds.
$B/brightness-ctl set 40% > /dev/null 2>&1
expect "a person's 40 % at 500 lux is learned and kept beside the record" \
    wait_for 10 grep -q '500:40%' /var/lib/brightness/ambient-curve
sleep 6
expect "... and holds while the room stays as it was" level_is 40
als "lux 50"
expect "the room dims to 50 lux: the curve's 35 %" test -n "$(seconds_to 35)"
# Replugged, the sensor is found again, and what was learned holds.
als unplug
expect "unplugged: the IIO device goes" wait_for 20 sh -c '! ls -d /sys/bus/iio/devices/iio:device* >/dev/null 2>&1'
expect "... and brightness-idle says the sensor is gone" wait_for 10 grep -q 'the light sensor is gone' "$W/idle.err"
als "lux 500"
als plug
expect "plugged in again, the sensor is read again" \
    wait_for 30 sensor_found 2
expect "... and 500 lux brings the learned 40 % again" test -n "$(seconds_to 40)"
idle_stop
tail -n 20 "$W/als.log" | sed "s/^/$scenario| als: /"
als_stop
person_stop
display_stop
rcu_restore
state_stop
}
