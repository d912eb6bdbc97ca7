# Sourced by run.sh: brightness-idle on real evdev devices made through
# uinput, with real grabs, against the uhid display.

# The uinput person: a touch screen with a second reader, commands through
# $W/person; its touch screen's node in $touch.
person_start() {
    : > "$W/reader"
    "$B/uinput-person" -r "$W/reader" -c "$W/person" > "$W/person.out" 2>&1 &
    person_pid=$!
    wait_for 10 grep -q '^ready ' "$W/person.out"
    touch=$(sed -n 's/^ready //p' "$W/person.out")
}
# Not into a fifo nobody reads: that would wait for ever.
person() { [ -d "/proc/$person_pid" ] && echo "$1" > "$W/person"; }
person_stop() {
    person quit
    wait "$person_pid"
}
# Events of the touch screen the reader has seen (not counting probes).
seen() { lines '^reader ' "$W/reader"; }
seen_downs() { lines '^reader down ' "$W/reader"; }
# Whether another program holds the touch screen: busy or free.
probe() {
    n=$(lines '^probe ' "$W/reader")
    person probe
    wait_for 5 test "$(lines '^probe ' "$W/reader")" -gt "$n" || return
    grep '^probe ' "$W/reader" | tail -n1 | cut -d' ' -f2
}
# How often the display received a level (two hex digits), and when last.
received() { lines "^display output $(report "$1") at " "$W/log"; }
received_at() { sed -n "s/^display output $(report "$1") at //p" "$W/log" | tail -n1; }
more_of() { [ "$(received "$1")" -gt "$2" ]; }
# T1 - T0 lies within LOW to HIGH seconds.
within() { awk -v d="$(awk -v a="$1" -v b="$2" 'BEGIN { print b - a }')" -v lo="$3" -v hi="$4" \
    'BEGIN { exit !(d >= lo && d <= hi) }'; }
uptime_now() { cut -d' ' -f1 /proc/uptime; }
# The program holds the node open: it watches it.
watches() { ls -l "/proc/$idle_pid/fd" 2>/dev/null | grep -q " $1\$"; }

idle_start() {
    "$B/brightness-idle" "$@" > "$W/idle.out" 2> "$W/idle.err" &
    idle_pid=$!
    wait_for 20 watches "$touch"
}
idle_stop() {
    kill "$idle_pid" 2>/dev/null
    wait "$idle_pid" 2>/dev/null
    idle_dump
}
# Into the console, which the host keeps.
idle_dump() {
    for f in idle.err person.out reader log; do
        tail -n 40 "$W/$f" | sed "s/^/$scenario| $f: /"
    done
}

idle() {
new_scenario idle
udev_start
# Letting go of a grab waits for an RCU grace period, which on this guest's
# one emulated CPU, idle and without a tick, can take many seconds (a busy
# CPU ends it in milliseconds). Expedited grace periods keep the waits to
# what a real machine shows.
rcu_expedited=$(cat /sys/kernel/rcu_expedited)
echo 1 > /sys/kernel/rcu_expedited
# As the package leaves it: the record's directory.
mkdir -p /var/lib/brightness
display_start -t
udevadm settle -t 30
person_start
udevadm settle -t 30
$B/brightness-ctl set 60% > /dev/null 2>&1
sent=$(lines '^display output' "$W/log")
for bad in "--after 5" "--after -1m" "--after 25h" "--dim 101%" "--off-after 1m"; do
    $B/brightness-idle $bad > "$W/bad.out" 2>&1
    expect "brightness-idle $bad: exit 2 and one line" test "$?:$(wc -l < "$W/bad.out")" = "2:1"
done
expect "... and nothing reached the display" test "$(lines '^display output' "$W/log")" = "$sent"

start=$(uptime_now)
idle_start --after 2s --dim 20% --off-after 2s
expect "it watches the touch screen" watches "$touch"
expect "quiet for 2 s: the display dims to 20% (0x14)" wait_for 15 more_of 14 0
expect "quiet for 2 s more: off (0x00)" wait_for 15 more_of 00 0
expect "... the dim came 2 to 3 s after the start" within "$start" "$(received_at 14)" 2 3
expect "... the off 2 to 3 s after the dim" within "$(received_at 14)" "$(received_at 00)" 2 3
expect "while off the touch screen is held" test "$(probe)" = busy

before=$(seen); woke=$(received 3c)
person touch
expect "a touch while off: the display gets the remembered 60% (0x3c)" wait_for 10 more_of 3c "$woke"
expect "... while the finger is down the screen stays held" test "$(probe)" = busy
person lift
sleep 1
expect "... and the reader saw none of that touch" test "$(seen)" = "$before"
expect "... once the finger is up the screen is let go" test "$(probe)" = free
downs=$(seen_downs)
person tap
expect "the next touch reaches the reader" wait_for 5 test "$(seen_downs)" -gt "$downs"

dims=$(received 14)
expect "quiet again: dimmed" wait_for 10 more_of 14 "$dims"
expect "while dimmed nothing is held" test "$(probe)" = free
downs=$(seen_downs); woke=$(received 3c)
person tap
expect "a touch while dimmed: the display gets 0x3c" wait_for 10 more_of 3c "$woke"
expect "... and the touch reaches the reader" wait_for 5 test "$(seen_downs)" -gt "$downs"

person plug
expect "a keyboard plugged in after the start" wait_for 10 grep -q '^keyboard ' "$W/person.out"
keyboard=$(sed -n 's/^keyboard //p' "$W/person.out")
expect "... is watched" wait_for 10 watches "$keyboard"
offs=$(received 00)
expect "quiet again: off" wait_for 15 more_of 00 "$offs"
woke=$(received 3c)
person "key 30"
expect "a key on the plugged keyboard wakes it (0x3c)" wait_for 10 more_of 3c "$woke"

offs=$(received 00)
expect "quiet again: off" wait_for 15 more_of 00 "$offs"
dims=$(received 14)
set_at=$(uptime_now)
$B/brightness-ctl set 40% > "$W/set.out" 2>&1
expect "brightness-ctl set 40% while off: the display gets 0x28" wait_for 10 more_of 28 0
expect "... the touch screen is let go" test "$(probe)" = free
expect "... the clock restarts: dimmed again 2 to 3 s after the set" wait_for 15 more_of 14 "$dims"
expect "... 2 to 3 s" within "$set_at" "$(received_at 14)" 2 3
woke=$(received 28)
person tap
expect "... and a touch then gives the new 40% (0x28)" wait_for 10 more_of 28 "$woke"

person hold
offs=$(received 00)
expect "with the screen held by another program: off" wait_for 15 more_of 00 "$offs"
expect "... the refused grab is said" wait_for 5 grep -q "$touch: cannot hold it" "$W/idle.err"
person unhold
downs=$(seen_downs); woke=$(received 28)
person tap
expect "... a touch then wakes it" wait_for 10 more_of 28 "$woke"
expect "... and reaches the reader" wait_for 5 test "$(seen_downs)" -gt "$downs"
offs=$(received 00)
wait_for 15 more_of 00 "$offs"
expect "... said once over two dark periods" test "$(lines 'cannot hold it' "$W/idle.err")" = 1

offs=$(received 00)
expect "quiet again: off" wait_for 15 more_of 00 "$offs"
expect "... held" test "$(probe)" = busy
kill -9 "$idle_pid"
wait "$idle_pid" 2>/dev/null
expect "killed while holding the screen: it is free" test "$(probe)" = free
downs=$(seen_downs)
person tap
expect "... and a touch reaches the reader" wait_for 5 test "$(seen_downs)" -gt "$downs"
idle_dump
person_stop
display_stop
echo "$rcu_expedited" > /sys/kernel/rcu_expedited
}
