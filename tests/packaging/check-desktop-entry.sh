#!/bin/sh
# The desktop entry is valid for desktop-file-validate and starts the
# installed program with the installed icon, from the settings menu.
# Usage: check-desktop-entry.sh DESKTOP_FILE
set -eu
entry=$1
. "$(dirname "$0")/lib.sh"

out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate failed"
# It also reports hints and deprecations with a zero exit code.
[ -z "$out" ] || fail "desktop-file-validate: $out"

# value KEY: the value of KEY in the [Desktop Entry] group.
value() {
    awk -F= -v key="$1" '
        /^\[/ { group = $0; next }
        group == "[Desktop Entry]" && $1 == key { sub(/^[^=]*=/, ""); print; exit }
    ' "$entry"
}
[ "$(value Type)" = Application ] || fail "Type is '$(value Type)'"
[ "$(value Exec)" = brightness ] || fail "Exec is '$(value Exec)', expected the program's name"
[ "$(value Icon)" = brightness ] || fail "Icon is '$(value Icon)', expected the icon's theme name"
[ "$(value Categories)" = "Settings;HardwareSettings;" ] || fail "Categories is '$(value Categories)'"
[ "$(value Terminal)" = false ] || fail "Terminal is '$(value Terminal)'"
[ -n "$(value Name)" ] || fail "no Name"
[ -n "$(value Comment)" ] || fail "no Comment"

finish
