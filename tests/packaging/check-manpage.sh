#!/bin/sh
# The man page renders without warnings, and what it documents is what the
# program does: every row of its table of -b examples is run against the
# program (output lines and the step sent at start-up), the access command
# is the one the program runs, and the status texts are the program's.
# Usage: check-manpage.sh PAGE PROGRAM WORK_DIR [EMULATOR...]
# EMULATOR: the command that runs PROGRAM in a cross build (qemu-arm).
set -eu
page=$1; program=$2; work=$3
shift 3
emulator="$*"
. "$(dirname "$0")/lib.sh"

# Both the UTF-8 device and the plain ASCII one (no locale set).
for locale in C.UTF-8 C; do
    warnings=$(LC_ALL=$locale MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l failed ($locale)"
    [ -z "$warnings" ] || fail "man warns under LC_ALL=$locale: $warnings"
done
text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" ENVIRONMENT FILES "SEE ALSO"; do
    printf '%s\n' "$text" | grep -qx "$section" || fail "no $section section"
done
printf '%s\n' "$text" | grep -q '^ *brightness - ' || fail "NAME is not 'brightness - ...'"

rm -rf "$work"; mkdir -p "$work"
make_fake_sudo "$work/bin"
mkdir -m 700 "$work/runtime"
export FAKE_SUDO_LOG="$work/sudo.log"

# run_program ARGS...: starts the program offscreen with a stand-in sudo,
# lets it finish its start-up (the first search and the -b send), stops it,
# and leaves its output in $work/out and $work/err.
run_program() {
    : > "$FAKE_SUDO_LOG"; : > "$work/out"; : > "$work/err"
    PATH="$work/bin:$PATH" QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" \
        $emulator "$program" "$@" > "$work/out" 2> "$work/err" &
    pid=$!
    # The search ends with node 9 tried or the display found; the -b send
    # follows at once.
    i=0
    while [ $i -lt 100 ]; do
        if grep -q '^action == ' "$work/err" || grep -q '^hidraw:' "$work/err" \
            || [ "$(grep -c 'Cant open!' "$work/err")" -ge 10 ]; then
            break
        fi
        sleep 0.1; i=$((i + 1))
    done
    sleep 0.5
    alive=1
    kill -0 "$pid" 2>/dev/null || alive=0
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ $alive -eq 1 ] || fail "brightness $*: not running after start-up"
}

# The examples table: rows of ARGUMENTS <tab> OUTPUT LINES <tab> STEP SENT,
# from the first table after '.SS Examples'.
sed -n '/^\.SS Examples/,/^\.TE/p' "$page" | sed '1,/^\.TS/d; /^\.TE/d' | sed '1,2d' \
    | sed 's/\\-/-/g' > "$work/examples"
rows=$(wc -l < "$work/examples")
[ "$rows" -ge 10 ] || fail "only $rows example rows found in the page"

tab=$(printf '\t')
while IFS="$tab" read -r args output step; do
    # shellcheck disable=SC2086
    run_program $args
    printf '%s\n' "$output" | sed 's/, /\n/g' > "$work/expected"
    if ! cmp -s "$work/expected" "$work/out"; then
        fail "brightness $args: the page says '$output', the program printed '$(tr '\n' '|' < "$work/out")'"
    fi
    sent=$(sed -n 's/^action == //p' "$work/err" | tr '\n' ' ' | sed 's/ $//')
    [ "$step" = none ] && step=""
    [ "$sent" = "$step" ] || fail "brightness $args: the page says step '$step' is sent, the program sent '$sent'"
done < "$work/examples"

# The access command: documented as 'sudo chmod 777 /dev/hidrawN', run for
# the nodes that exist and that the program cannot use yet, so on a machine
# without raw HID nodes for none (a uevent from elsewhere may add a search,
# which runs none either).
grep -q '^\.B sudo chmod 777 /dev/hidraw\\c$' "$page" || fail "the page does not give the access command"
run_program
if ! ls /dev/hidraw[0-9] > /dev/null 2>&1; then
    [ ! -s "$FAKE_SUDO_LOG" ] || fail "the program ran sudo with: $(tr '\n' '|' < "$FAKE_SUDO_LOG")"
fi

# The accepted identities, in both the page and the udev rule's terms.
for id in "0eef	0005" "0483	5750" "0484	5750"; do
    grep -qx "$id" "$page" || fail "identity $id is not in the page's table"
done

# The status texts are the program's own (UTF-8 or UTF-16 in the binary).
for status in 设备已连接 未找到可连接设备; do
    grep -q "ds st-[a-z]* $status\$" "$page" || fail "status text $status is not in the page"
    utf16=$(printf '%s' "$status" | iconv -f UTF-8 -t UTF-16LE)
    if ! grep -aqF "$status" "$program" && ! grep -aqF "$utf16" "$program"; then
        fail "status text $status is not in the program"
    fi
done

finish
