#!/bin/sh
# Checks one udev rules file for brightness: every line parses as udev rule
# syntax (known keys, operators that fit them, quoted values), each of the
# display's three USB identities has one hidraw rule by the HID device's
# name that gives the node mode 0620 (the group writes only), group plugdev
# and the uaccess tag, and one more, in the same form and for hidraw0 to
# hidraw9 only, that has systemd start brightness-restore@%k.service for it
# (TAG+="systemd" and ENV{SYSTEMD_WANTS}); no rule matches a USB device's
# attributes (ATTRS), which hubs and composite devices pass on to every
# node below them; the file sorts before
# 73-seat-late.rules, where systemd applies uaccess. Uses udevadm verify too
# where udev has it (from udev 253 on).
# Usage: check-udev-rule.sh RULES_FILE; exit status 0 when it passes.
set -eu
rules=$1

status=0
case "$(basename "$rules")" in
    [0-6][0-9]-*.rules|7[0-2]-*.rules) ;;
    *) echo "$rules: name must sort before 73-seat-late.rules and end in .rules" >&2; status=1 ;;
esac

if udevadm verify --help >/dev/null 2>&1; then
    udevadm verify "$rules" >&2 || status=1
fi

awk '
function bad(msg) { printf "%s:%d: %s\n", FILENAME, FNR, msg > "/dev/stderr"; failed = 1 }
BEGIN {
    # Keys that compare (== !=) and keys that assign (= += -= :=).
    split("ACTION DEVPATH KERNEL KERNELS NAME SYMLINK SUBSYSTEM SUBSYSTEMS DRIVER DRIVERS ATTR ATTRS SYSCTL ENV CONST TAG TAGS TEST PROGRAM RESULT", m)
    for (i in m) match_key[m[i]] = 1
    split("NAME SYMLINK OWNER GROUP MODE TAG ENV ATTR SYSCTL RUN LABEL GOTO IMPORT OPTIONS SECLABEL", a)
    for (i in a) assign_key[a[i]] = 1
    # Keys that need an {attribute} part, and keys that may have one.
    split("ATTR ATTRS SYSCTL ENV CONST IMPORT SECLABEL", w)
    for (i in w) need_attr[w[i]] = 1
    split("TEST RUN", w)
    for (i in w) may_attr[w[i]] = 1
    want["0eef:0005"] = 1; want["0483:5750"] = 1; want["0484:5750"] = 1
}
/^[ \t]*(#|$)/ { next }
{
    line = $0; n = 0
    delete seen
    while (line != "") {
        if (!match(line, /^[ \t]*[A-Z_]+([{][^}]+[}])?[ \t]*(==|!=|[+]=|-=|:=|=)[ \t]*"[^"]*"[ \t]*/)) {
            bad("cannot parse: " line); next
        }
        tok = substr(line, RSTART, RLENGTH); line = substr(line, RSTART + RLENGTH)
        if (line != "") {
            if (substr(line, 1, 1) != ",") { bad("expected a comma before: " line); next }
            line = substr(line, 2)
            if (line ~ /^[ \t]*$/) { bad("trailing comma"); next }
        }
        match(tok, /^[ \t]*[A-Z_]+/); key = substr(tok, RSTART, RLENGTH); sub(/^[ \t]+/, "", key)
        attr = ""
        if (match(tok, /[{][^}]+[}]/)) attr = substr(tok, RSTART + 1, RLENGTH - 2)
        match(tok, /(==|!=|[+]=|-=|:=|=)/); op = substr(tok, RSTART, RLENGTH)
        match(tok, /"[^"]*"/); val = substr(tok, RSTART + 1, RLENGTH - 2)
        if (!(key in match_key) && !(key in assign_key)) { bad("unknown key " key); continue }
        if ((op == "==" || op == "!=") && !(key in match_key)) bad(key " cannot be compared")
        if (op != "==" && op != "!=" && !(key in assign_key)) bad(key " cannot be assigned")
        if ((key in need_attr) && attr == "") bad(key " needs an {attribute}")
        if (!(key in need_attr) && !(key in may_attr) && attr != "") bad(key " takes no {attribute}")
        seen[key (attr == "" ? "" : "{" attr "}") op] = val
        n++
    }
    if (seen["SUBSYSTEM=="] != "hidraw") { bad("rule does not match SUBSYSTEM==\"hidraw\""); next }
    for (k in seen)
        if (k ~ /^ATTRS[{]/) { bad("ATTRS matches every node below a device with that attribute"); next }
    # The HID device name: USB bus, upper-case vendor and product, any instance.
    k = seen["KERNELS=="]
    if (k !~ /^0003:[0-9A-F][0-9A-F][0-9A-F][0-9A-F]:[0-9A-F][0-9A-F][0-9A-F][0-9A-F][.][*]$/) {
        bad("KERNELS must be 0003:VVVV:PPPP.* in upper-case hex, got \"" k "\""); next
    }
    form = "KERNELS"; v = tolower(substr(k, 6, 4)); p = tolower(substr(k, 11, 4))
    if (!((v ":" p) in want)) bad("unexpected identity " v ":" p)
    if ("ENV{SYSTEMD_WANTS}+=" in seen) {
        if (seen["KERNEL=="] != "hidraw[0-9]") bad(v ":" p ": the restore rule is not limited to KERNEL==\"hidraw[0-9]\"")
        if (seen["ENV{SYSTEMD_WANTS}+="] != "brightness-restore@%k.service")
            bad(v ":" p ": SYSTEMD_WANTS is \"" seen["ENV{SYSTEMD_WANTS}+="] "\", expected \"brightness-restore@%k.service\"")
        if (seen["TAG+="] != "systemd") bad(v ":" p ": the restore rule has no TAG+=\"systemd\"")
        restore[form " " v ":" p]++
        next
    }
    if (seen["MODE="] != "0620") bad(v ":" p ": MODE is \"" seen["MODE="] "\", expected \"0620\"")
    if (seen["GROUP="] != "plugdev") bad(v ":" p ": GROUP is \"" seen["GROUP="] "\", expected \"plugdev\"")
    if (seen["TAG+="] != "uaccess") bad(v ":" p ": no TAG+=\"uaccess\"")
    got[form " " v ":" p]++
}
END {
    for (id in want)
        if (got["KERNELS " id] != 1 || restore["KERNELS " id] != 1) {
            printf "%s: %d access and %d restore rules for %s, expected 1 each\n", FILENAME, got["KERNELS " id], restore["KERNELS " id], id > "/dev/stderr"
            failed = 1
        }
    exit failed
}
' "$rules" || status=1

exit $status
