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
downs_past() { [ "$(seen_downs)" -gt "$1" ]; }
probes_past() { [ "$(lines '^probe ' "$W/reader")" -gt "$1" ]; }
# Whether another program holds the touch screen: busy or free. "busy" comes
# at once; "free" only once the probe's own grab is let go, which waits for
# an RCU grace period that the guest's one CPU has taken over 5 s for.
probe() {
    n=$(lines '^probe ' "$W/reader")
    person probe
    wait_for 20 probes_past "$n" || return
    grep '^probe ' "$W/reader" | tail -n1 | cut -d' ' -f2
}
# The screen is free within a few seconds: letting go follows the events.
let_go() { test "$(probe)" = free; }
# How often the display received a level (two hex digits), and when last.
received() { lines "^display output $(report "$1")\$" "$W/log"; }
# The times a level arrived, from the display's stamps (monotonic seconds).
arrivals() { sed -n "s/^\([0-9.]*\) display output $(report "$1")\$/\1/p" "$W/stamps"; }
received_at() { arrivals "$1" | tail -n1; }
more_of() { [ "$(received "$1")" -gt "$2" ]; }
# T1 - T0 lies within LOW to HIGH seconds.
within() { awk -v d="$(awk -v a="$1" -v b="$2" 'BEGIN { print b - a }')" -v lo="$3" -v hi="$4" \
    'BEGIN { exit !(d >= lo && d <= hi) }'; }
uptime_now() { cut -d' ' -f1 /proc/uptime; }
# The program holds the node open: it watches it.
watches() { ls -l "/proc/$idle_pid/fd" 2>/dev/null | grep -q " $1\$"; }

# The record's directory, as the package leaves it, for the scenarios
# without the package; gone again afterwards, as the package's purge leaves
# it for the scenarios that follow.
state_start() {
    made_state=""
    [ -d /var/lib/brightness ] || { mkdir -p /var/lib/brightness; made_state=1; }
}
state_stop() { [ -z "$made_state" ] || rm -rf /var/lib/brightness; }

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

# Letting go of a grab waits for an RCU grace period, which on this guest's
# one emulated CPU, idle and without a tick, can take many seconds (a busy
# CPU ends it in milliseconds). Expedited grace periods keep the waits to
# what a real machine shows; rcu_restore puts the setting back.
rcu_expedite() {
    rcu_expedited=$(cat /sys/kernel/rcu_expedited)
    echo 1 > /sys/kernel/rcu_expedited
}
rcu_restore() { echo "$rcu_expedited" > /sys/kernel/rcu_expedited; }
# idle_begin NAME: how a scenario of brightness-idle without systemd begins:
# udev, RCU expedited, the record, the display stamping its reports in
# $W/stamps, and the person.
idle_begin() {
    new_scenario "$1"
    udev_start
    rcu_expedite
    state_start
    display_start -t "$W/stamps"
    udevadm settle -t 30
    person_start
}

idle() {
idle_begin idle
udevadm settle -t 30
$B/brightness-ctl set 60% > /dev/null 2>&1
sent=$(lines '^display output' "$W/log")
for bad in "--after 5" "--after -1m" "--after 25h" "--dim 101%" "--off-after 1m"; do
    $B/brightness-idle $bad > "$W/bad.out" 2>&1
    expect "brightness-idle $bad: exit 2, one line and the hint" \
        test "$?:$(wc -l < "$W/bad.out"):$(tail -n1 "$W/bad.out")" = "2:2:Try 'brightness-idle --help'."
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
expect "... and get still shows the remembered 60%" test "$($B/brightness-ctl get -m | cut -d' ' -f3)" = 60

before=$(seen); woke=$(received 3c)
person touch
expect "a touch while off: the display gets the remembered 60% (0x3c)" wait_for 10 more_of 3c "$woke"
expect "... while the finger is down the screen stays held" test "$(probe)" = busy
person lift
sleep 1
expect "... and the reader saw none of that touch" test "$(seen)" = "$before"
expect "... once the finger is up the screen is let go" wait_for 5 let_go
downs=$(seen_downs)
person tap
expect "the next touch reaches the reader" wait_for 5 downs_past "$downs"

dims=$(received 14)
expect "quiet again: dimmed" wait_for 10 more_of 14 "$dims"
expect "while dimmed nothing is held" test "$(probe)" = free
downs=$(seen_downs); woke=$(received 3c)
person tap
expect "a touch while dimmed: the display gets 0x3c" wait_for 10 more_of 3c "$woke"
expect "... and the touch reaches the reader" wait_for 5 downs_past "$downs"

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
woke=$(received 3c)
# Caps lock's LED on, as a program sets it (struct input_event is 16 bytes
# on armhf): the keyboard's readers see an event that no person made.
printf '\0\0\0\0\0\0\0\0\021\0\001\0\001\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' > "$keyboard"
sleep 1
expect "a program setting the keyboard's LED while off does not wake it" test "$(received 3c)" = "$woke"
person "key 30"
expect "... a key then does" wait_for 10 more_of 3c "$woke"

offs=$(received 00)
expect "quiet again: off" wait_for 15 more_of 00 "$offs"
dims=$(received 14)
set_at=$(uptime_now)
$B/brightness-ctl set 40% > "$W/set.out" 2>&1
expect "brightness-ctl set 40% while off: the display gets 0x28" wait_for 10 more_of 28 0
expect "... the touch screen is let go" wait_for 5 let_go
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
expect "... and reaches the reader" wait_for 5 downs_past "$downs"
offs=$(received 00)
wait_for 15 more_of 00 "$offs"
expect "... said once over two dark periods" test "$(lines 'cannot hold it' "$W/idle.err")" = 1

offs=$(received 00)
$B/brightness-ctl set 80% --fade 3000 > "$W/fade.out" 2>&1
# A dim or off in between would have taken the fade's claim and ended it.
expect "someone's 3 s fade while off is not fought: it runs to its end (0x50)" more_of 50 0
expect "quiet after it: dimmed, then off" wait_for 15 more_of 00 "$offs"
expect "... the dim 2 to 3 s after the fade's end" within "$(received_at 50)" "$(received_at 14)" 2 3
expect "off again, the screen is held now that the other program let go" test "$(probe)" = busy
kill -9 "$idle_pid"
wait "$idle_pid" 2>/dev/null
expect "killed while holding the screen: it is free" test "$(probe)" = free
downs=$(seen_downs)
person tap
expect "... and a touch reaches the reader" wait_for 5 downs_past "$downs"
idle_dump
person_stop
display_stop
rcu_restore
state_stop
}

# The kernel's trace of every hidraw write's start and return (mono clock),
# the same for every program. The start is when the program hands the report
# over; the rest is the display's driver (on a USB display the transfer; the
# uhid display gets the report only when it is next scheduled, after the
# writer sleeps).
trace=/sys/kernel/tracing
trace_start() {
    mountpoint -q $trace || mount -t tracefs tracefs $trace
    echo mono > $trace/trace_clock
    echo 'p:hidraw_writing hidraw_write' >> $trace/kprobe_events
    echo 'r:hidraw_written hidraw_write' >> $trace/kprobe_events
    echo 1 > $trace/events/kprobes/enable
    : > $trace/trace
}
trace_stop() {
    echo 0 > $trace/events/kprobes/enable
    echo '-:hidraw_writing' >> $trace/kprobe_events
    echo '-:hidraw_written' >> $trace/kprobe_events
}
# after EVENT FILE: microseconds from the last touch's kernel time, as the
# reader saw it, to the first EVENT in the trace after it, onto FILE.
after() {
    sed -n "s/.* \([0-9][0-9]*\.[0-9]*\): $1.*/\1/p" $trace/trace \
        | awk -v d="$down" '$1 >= d { printf "%.0f\n", ($1 - d) * 1e6; exit }' >> "$2"
}
# The first report written after the last touch: its start ("FILE.start")
# and return ("FILE.write"), and the display's receipt of the first 0x3c
# ("FILE.received"), in microseconds.
wake_sample() {
    down=$(sed -n 's/^reader down //p' "$W/reader" | tail -n1)
    after hidraw_writing "$1.start"
    after hidraw_written "$1.write"
    arrivals 3c | awk -v d="$down" '$1 >= d { printf "%.0f\n", ($1 - d) * 1e6; exit }' >> "$1.received"
    # Over a second is no latency but a touch seen late or a wrong sample:
    # what the clocks said, for whoever reads the console.
    slowest=$(tail -n1 "$1.write" 2>/dev/null)
    if [ "${slowest:-0}" -gt 1000000 ]; then
        echo "NOTE idle_bench: a wake $slowest us after the touch at $down"
        tail -n 8 $trace/trace | sed "s/^/$scenario| trace: /"
        tail -n 8 "$W/reader" | sed "s/^/$scenario| reader: /"
        tail -n 4 "$W/stamps" | sed "s/^/$scenario| stamps: /"
    fi
}
# A finger's tap (down, 100 ms, up) that lands while this shell sleeps, with
# the person asleep right after the finger goes down: on the guest's one
# processor nothing but the program under test then competes for the touch,
# as on a Pi's idle cores. A tap from the shell would race its next fork.
# Returns once the reader has the touch's time, which the sample starts from.
quiet_tap() {
    tap_downs=$(seen_downs)
    person "$(printf 'wait 200\ntouch\nwait 100\nlift')"
    sleep 0.5
    wait_for 5 downs_past "$tap_downs"
}
# "median min max" of a file of numbers.
summary() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%d %d %d\n", v[int((NR + 1) / 2)], v[1], v[NR] }'; }
# The ratio of two files' medians, to two decimals.
median_ratio() {
    awk -v a="$(summary "$1" | cut -d' ' -f1)" -v b="$(summary "$2" | cut -d' ' -f1)" 'BEGIN { printf "%.2f", a / b }'
}
# Context switches of a process: each time it slept and woke.
switches() { awk '/ctxt_switches/ { n += $2 } END { print n }' "/proc/$1/status"; }
# latency_note WHAT FILE: one line for the performance document.
latency_note() {
    what=$1 file=$2
    set -- $(summary "$file")
    echo "NOTE idle_bench: $what: median $1 us, min $2, max $3 ($samples touches)"
    echo "$scenario| $what, each: $(sort -n "$file" | tr '\n' ' ')"
}

# idle_turn N: N touches, each waking brightness-idle from the dim (nothing
# is held then, so the reader sees each touch's kernel time).
# The counts are taken before the tap: the next dim comes a second after
# it, often before this shell has taken the wake's sample.
idle_turn() {
    dims=$(received 32)
    idle_start --after 1s --dim 50% -v
    j=0
    while [ $j -lt "$1" ]; do
        wait_for 10 more_of 32 "$dims" || { turn_missed "the dim"; break; }
        dims=$(received 32); woke=$(received 3c)
        quiet_tap
        wait_for 10 more_of 3c "$woke" || { turn_missed "the wake"; break; }
        wake_sample "$W/idle.us"
        j=$((j + 1))
    done
    kill "$idle_pid"; wait "$idle_pid" 2>/dev/null
    idle_woke=$((idle_woke + j))
}
turn_missed() {
    echo "NOTE idle_bench: touch $((idle_woke + j + 1)) of brightness-idle's: $1 did not come within 10 s"
    tail -n 12 "$W/idle.err" | sed "s/^/$scenario| idle.err: /"
    tail -n 8 "$W/log" | sed "s/^/$scenario| log: /"
}
# bare_turn N: N touches, each lighting the display through the bare loop.
bare_turn() {
    "$B/bare-wake" "$touch" "$hidraw" 60 > "$W/bare.out" 2>&1 &
    bare_pid=$!
    wait_for 10 grep -qx ready "$W/bare.out"
    j=0
    while [ $j -lt "$1" ]; do
        woke=$(received 3c)
        quiet_tap
        wait_for 10 more_of 3c "$woke" || break
        wake_sample "$W/bare.us"
        j=$((j + 1))
    done
    kill "$bare_pid"; wait "$bare_pid" 2>/dev/null
    bare_woke=$((bare_woke + j))
}

# bench_round: $samples touches each, in turns of ten, so that whatever
# drifts over the guest's run weighs on both alike; sets write_ratio and
# received_ratio (medians).
bench_round() {
    rm -f "$W"/idle.us.* "$W"/bare.us.*
    idle_woke=0 bare_woke=0
    for turn in 1 2 3 4; do
        idle_turn $((samples / 4))
        bare_turn $((samples / 4))
    done
    write_ratio=$(median_ratio "$W/idle.us.write" "$W/bare.us.write")
    received_ratio=$(median_ratio "$W/idle.us.received" "$W/bare.us.received")
}
bench_ratio_ok() { awk -v r="$1" 'BEGIN { exit !(r <= 1.2) }'; }

# The figures for the performance document: the wake's latency against a
# bare loop on the same nodes, wake-ups while waiting, resident memory.
idle_bench() {
idle_begin idle_bench
# The person stands in for the touch screen's interrupt, which on a Pi runs
# before any task: whoever waits for the touch runs as soon as it is made,
# not when the scheduler next prefers it to the person.
chrt --idle -p 0 "$person_pid"
udevadm settle -t 30
hidraw=$(display_node)
$B/brightness-ctl set 60% > /dev/null 2>&1
samples=40
trace_start

bench_round
# The host's other work can stall the emulated processor during one turn:
# a round that misses is measured once more, and the second one counts. A
# slower program misses both.
if ! bench_ratio_ok "$write_ratio" || ! bench_ratio_ok "$received_ratio"; then
    echo "NOTE idle_bench: first round's ratios $write_ratio (write), $received_ratio (receipt): measured again"
    bench_round
fi
idle_dump
trace_stop
expect "brightness-idle woke the display $samples times" test $idle_woke = $samples
expect "the bare loop woke the display $samples times" test $bare_woke = $samples
latency_note "touch to the report's write, brightness-idle" "$W/idle.us.start"
latency_note "touch to the report's write, bare loop" "$W/bare.us.start"
latency_note "touch to report written, brightness-idle" "$W/idle.us.write"
latency_note "touch to report written, bare loop" "$W/bare.us.write"
latency_note "touch to report received by the uhid display, brightness-idle" "$W/idle.us.received"
latency_note "touch to report received by the uhid display, bare loop" "$W/bare.us.received"
echo "NOTE idle_bench: latency ratio to the write (medians) $write_ratio"
echo "NOTE idle_bench: latency ratio to the write's start (medians) $(median_ratio "$W/idle.us.start" "$W/bare.us.start")"
expect "the wake's report is written within 1.2 times the bare loop's latency" bench_ratio_ok "$write_ratio"
echo "NOTE idle_bench: latency ratio to the display's receipt (medians) $received_ratio"
expect "the wake's report reaches the display within 1.2 times the bare loop's latency" bench_ratio_ok "$received_ratio"

# Waiting lit (a long quiet time) by day with a night to come in an hour,
# then off at night: no wake-up in 30 s either way.
later=$(date -d "@$(($(date +%s) + 3600))" +%H:%M)
idle_start --after 1h --night "$later-$(date -d "@$(($(date +%s) + 7200))" +%H:%M)" --night-level 10%
sleep 5
before=$(switches "$idle_pid"); sleep 30; lit=$(( $(switches "$idle_pid") - before ))
grep ctxt "/proc/$idle_pid/status" | sed "s/^/$scenario| lit: /"
idle_stop
offs=$(received 00)
idle_start --after 1s --night "$(date -d "@$(($(date +%s) - 60))" +%H:%M)-$later" --night-level 10%
wait_for 15 more_of 00 "$offs"
sleep 5
before=$(switches "$idle_pid"); sleep 30; off=$(( $(switches "$idle_pid") - before ))
rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$idle_pid/status")
hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$idle_pid/status")
idle_stop
echo "NOTE idle_bench: wake-ups in 30 s: $lit waiting lit by day, $off waiting off at night; resident $rss kB (peak $hwm kB)"
expect "no wake-up in 30 s while lit by day, a night to come" test "$lit" = 0
expect "no wake-up in 30 s while off at night" test "$off" = 0
person_stop
display_stop
rcu_restore
state_stop
}

# The package's service under systemd, with its hardening, a drop-in for a
# short quiet time: ready, off, woken by a touch. On the package that
# plug_restore installed, or installed here when this runs alone.
idle_service() {
new_scenario idle_service
installed_file /usr/bin/brightness-idle || $DPKG -i $PACKAGES > "$W/dpkg.log" 2>&1
rcu_expedite
expect "the package ships the idle service disabled" \
    test "$(systemctl is-enabled brightness-idle.service 2>&1)" = disabled
display_start -t "$W/stamps"
person_start
udevadm settle -t 30
echo 'BRIGHTNESS_IDLE_OPTIONS="--after 2s"' > /etc/default/brightness-idle
/usr/bin/brightness-ctl set 70% > /dev/null 2>&1
level=70; hex=46
systemctl start brightness-idle.service
expect "it starts and reports ready" test "$(systemctl show -p ActiveState --value brightness-idle.service)" = active
expect "... as a user of its own" test "$(awk '/^Uid:/ { print $2 }' \
    "/proc/$(systemctl show -p MainPID --value brightness-idle.service)/status")" -gt 0
expect "after 2 s it turns the display off" wait_for 15 more_of 00 0
expect "... and holds the touch screen" test "$(probe)" = busy
woke=$(received "$hex")
person tap
expect "a touch wakes it at the remembered $level%" wait_for 10 more_of "$hex" "$woke"
expect "... and the touch screen is let go" wait_for 5 let_go
offs=$(received 00)
expect "quiet for 2 s: off again" wait_for 15 more_of 00 "$offs"
woke=$(received "$hex"); offs=$(received 00)
display unplug
sleep 1
display plug
expect "a display unplugged while off comes back lit at $level% (the restore on plug)" \
    wait_for 30 more_of "$hex" "$woke"
expect "... and the service carries on: off again 2 s later" wait_for 15 more_of 00 "$offs"
expect "... holding the touch screen again" test "$(probe)" = busy
woke=$(received "$hex")
systemctl stop brightness-idle.service
expect "it stops cleanly" test "$(systemctl show -p Result --value brightness-idle.service)" = success
expect "... and gives the screen back lit at $level%" more_of "$hex" "$woke"
expect "... letting go of the touch screen" wait_for 5 let_go
systemctl start brightness-idle.service
offs=$(received 00)
expect "started again: off 2 s later" wait_for 15 more_of 00 "$offs"
woke=$(received "$hex")
systemctl kill -s KILL brightness-idle.service
expect "killed with SIGKILL while off: the restarted service gives the screen back" \
    wait_for 20 more_of "$hex" "$woke"
offs=$(received 00)
# A script's own off, as swayidle's timeout: theirs to end, not this
# program's, and the waking touch is the application's.
expect "... then off again on its own" wait_for 15 more_of 00 "$offs"
woke=$(received "$hex")
/usr/bin/brightness-ctl on > /dev/null 2>&1
wait_for 10 more_of "$hex" "$woke"
woke=$(received "$hex")
/usr/bin/brightness-ctl off > /dev/null 2>&1
sleep 1
downs=$(seen_downs)
person tap
expect "a script's off while it runs: the touch reaches the reader" wait_for 5 downs_past "$downs"
expect "... and does not light the screen" test "$(received "$hex")" = "$woke"
/usr/bin/brightness-ctl on > /dev/null 2>&1
expect "... the script's on lights it" wait_for 10 more_of "$hex" "$woke"
set -- $(/usr/bin/brightness-ctl list -m | head -n1)
printf '%s %s %s 99 off:idle\n' "$4" "$2" "$level" > /var/lib/brightness/levels
sleep 1
downs=$(seen_downs)
person tap
expect "a forged idle off in the record swallows no touch" wait_for 5 downs_past "$downs"
/usr/bin/brightness-ctl on > /dev/null 2>&1
# A fresh install, nothing remembered: dimmed, off, then a touch lights
# 100% at once, the first report after it, never the record's 0 first.
systemctl stop brightness-idle.service
rm -f /var/lib/brightness/levels
echo 'BRIGHTNESS_IDLE_OPTIONS="--after 2s --dim 30% --off-after 2s"' > /etc/default/brightness-idle
dims=$(received 1e); offs=$(received 00); woke=$(received 64)
systemctl start brightness-idle.service
expect "nothing remembered: dimmed to 30% after 2 s" wait_for 15 more_of 1e "$dims"
expect "... then off" wait_for 15 more_of 00 "$offs"
reports=$(lines '^display output ' "$W/log")
person tap
expect "... a touch lights it at 100%" wait_for 10 more_of 64 "$woke"
expect "... as the first report after the touch, no 0 first" \
    test "$(grep '^display output ' "$W/log" | sed -n "$((reports + 1))p")" = "display output $(report 64)"
/usr/bin/brightness-ctl on > /dev/null 2>&1
# The watchdog, shortened: a loop that answers keeps its service; one that
# is stopped is killed and started again.
systemctl stop brightness-idle.service
mkdir -p /run/systemd/system/brightness-idle.service.d
printf '[Service]\nWatchdogSec=3s\n' > /run/systemd/system/brightness-idle.service.d/watchdog.conf
systemctl daemon-reload
systemctl start brightness-idle.service
main_pid() { systemctl show -p MainPID --value brightness-idle.service; }
pid=$(main_pid)
sleep 8
expect "with WatchdogSec=3s the loop's pings keep it running" test "$(main_pid)" = "$pid"
kill -STOP "$pid"
restarted() { p=$(main_pid); [ "$p" != 0 ] && [ "$p" != "$pid" ]; }
expect "... a loop that is stopped is killed by the watchdog and started again" wait_for 40 restarted
expect "... which the journal says" \
    wait_for 5 sh -c 'journalctl --no-pager -u brightness-idle.service | grep -q "[Ww]atchdog timeout"'
systemctl stop brightness-idle.service
rm -r /run/systemd/system/brightness-idle.service.d
systemctl daemon-reload
/usr/bin/brightness-ctl on > /dev/null 2>&1
journalctl --no-pager -o short-monotonic -u brightness-idle.service 2>&1 | sed "s/^/$scenario| /"
rm -f /etc/default/brightness-idle
person_stop
display_stop
rcu_restore
}

# A presence sensor as Raspberry Pi OS's gpio-key overlay makes one, and the
# night, on real evdev devices.
idle_presence() {
idle_begin idle_presence
person sensor
wait_for 10 grep -q '^sensor ' "$W/person.out"
sensor=$(sed -n 's/^sensor //p' "$W/person.out")
udevadm settle -t 30
$B/brightness-ctl set 60% > /dev/null 2>&1

idle_start --after 2s -v
expect "the sensor is watched, for presence" wait_for 10 grep -q "watching $sensor, for presence" "$W/idle.err"
expect "quiet for 2 s: off" wait_for 15 more_of 00 0
expect "while off the touch screen is held" test "$(probe)" = busy
n=$(lines '^sprobe ' "$W/reader")
person sprobe
expect "... and the sensor is not" wait_for 20 grep -q '^sprobe free' "$W/reader"
woke=$(received 3c)
person "sense 1"
expect "the sensor reports someone: lit at 60% (0x3c)" wait_for 10 more_of 3c "$woke"
offs=$(received 00)
sleep 5
expect "... and kept lit while it does, past the quiet time" test "$(received 00)" = "$offs"
cleared=$(uptime_now)
person "sense 0"
expect "cleared: off once the quiet time has passed" wait_for 15 more_of 00 "$offs"
expect "... counted from the clearing" within "$cleared" "$(received_at 00)" 2 3.5
person "sense 1"
expect "... and lit again by the next report" wait_for 10 more_of 3c "$woke"
$B/brightness-ctl off > /dev/null 2>&1
person "sense 0"
woke=$(received 3c)
person "sense 1"
sleep 3
expect "a person's off is not undone by the sensor" test "$(received 3c)" = "$woke"
person "sense 0"
idle_stop
$B/brightness-ctl set 60% > /dev/null 2>&1

# A night from a minute ago to half an hour on, whatever the guest's clock.
from=$(date -d "@$(($(date +%s) - 60))" +%H:%M)
to=$(date -d "@$(($(date +%s) + 1800))" +%H:%M)
idle_start --after 2s --night "$from-$to" --night-level 10% --night-after 3s
expect "started at night: the lit screen goes to the night's 10% (0x0a)" wait_for 10 more_of 0a 0
expect "quiet for 3 s, the night's time: off" wait_for 15 more_of 00 "$(received 00)"
nights=$(received 0a)
person tap
expect "a touch at night: the night's 10%" wait_for 10 more_of 0a "$nights"
expect "... and 60% still remembered" test "$($B/brightness-ctl get -m | cut -d' ' -f3)" = 60
idle_stop
expect "stopped: the screen given back at 60%" wait_for 10 last_output 3c
person_stop
display_stop
rcu_restore
state_stop
}

# A held screen's grab ends with its holder: brightness-idle killed with
# SIGKILL while it holds the touch screen, twenty times, and each time the
# probe finds it free at once. A measurement of some minutes, only when
# named, to run under load.
grab_kill() {
idle_begin grab_kill
$B/brightness-ctl set 60% > /dev/null 2>&1
free=0
for round in $(seq 20); do
    offs=$(received 00)
    idle_start --after 1s
    wait_for 15 more_of 00 "$offs" && test "$(probe)" = busy || { echo "$scenario: round $round: never held"; continue; }
    kill -9 "$idle_pid"
    wait "$idle_pid" 2>/dev/null
    t0=$(uptime_now)
    if test "$(probe)" = free; then
        free=$((free + 1))
        echo "NOTE $scenario: round $round: free $(awk -v a="$t0" -v b="$(uptime_now)" 'BEGIN { printf "%.2f", b - a }') s after the kill"
    else
        echo "$scenario: round $round: still held"
    fi
    # Lit again for the next round.
    person tap
    $B/brightness-ctl set 60% > /dev/null 2>&1
done
expect "killed while holding the screen, 20 times: free each time ($free of 20)" test "$free" = 20
idle_dump
person_stop
display_stop
rcu_restore
state_stop
}
