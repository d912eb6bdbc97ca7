#!/bin/sh
# The headless programs' man pages agree with the programs: each renders
# without warnings, documents every option its --help lists (in the
# SYNOPSIS too, where that lists them rather than saying "options"), and
# names the other two in SEE ALSO.
# Usage: check-pages.sh MAN_DIR CTL IDLE MQTT [EMULATOR...]
set -eu
man_dir=$1; ctl=$2; idle=$3; mqtt=$4
shift 4
emulator="$*"
. "$(dirname "$0")/lib.sh"

for prog in brightness-ctl brightness-idle brightness-mqtt; do
    page=$man_dir/$prog.1
    case $prog in *ctl) binary=$ctl ;; *idle) binary=$idle ;; *) binary=$mqtt ;; esac
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "$prog: man -l failed"
    [ -z "$warnings" ] || fail "$prog: man warns: $warnings"
    # The page's own text, with troff's escaped hyphens as typed.
    source=$(sed 's/\\-/-/g' "$page")
    synopsis=$(printf '%s\n' "$source" | sed -n '/^\.SH SYNOPSIS/,/^\.SH /p')
    help=$($emulator "$binary" --help) || { fail "$prog --help failed"; continue; }
    for option in $(printf '%s\n' "$help" | grep -o -- '--[a-z][a-z-]*' | sort -u) \
                  $(printf '%s\n' "$help" | grep -o -- '^ *-[a-zA-Z],' | tr -d ' ,'); do
        printf '%s\n' "$source" | grep -q -- "$option\\b" || fail "$prog: $option is in --help, not in the page"
        # There, the short form of an option that has one will do.
        short=$(printf '%s\n' "$help" | sed -n "s/^ *\(-[a-zA-Z]\), $option\\b.*/\\1/p" | head -n1)
        printf '%s\n' "$synopsis" | grep -q 'options' || printf '%s\n' "$synopsis" | grep -q -- "$option\\b" \
            || { [ -n "$short" ] && printf '%s\n' "$synopsis" | grep -q -- "$short\\b"; } \
            || fail "$prog: $option is not in the SYNOPSIS"
    done
    see_also=$(printf '%s\n' "$source" | sed -n '/^\.SH SEE ALSO/,$p')
    for other in brightness-ctl brightness-idle brightness-mqtt; do
        [ "$other" = "$prog" ] || printf '%s\n' "$see_also" | grep -q "$other" || fail "$prog: SEE ALSO does not name $other"
    done
done
finish
