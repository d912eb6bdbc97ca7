#!/bin/sh
# The udev rule passes check-udev-rule.sh, and damaged copies of it do not,
# so the checker itself is shown to catch each kind of fault.
# Usage: test-udev-rule.sh RULES_FILE WORK_DIR
set -eu
rules=$1; work=$2
here=$(dirname "$0")
. "$here/lib.sh"

if udevadm verify --help >/dev/null 2>&1; then
    echo "udevadm verify is available and is used"
else
    echo "this udev has no 'udevadm verify'; the rule is parsed by check-udev-rule.sh"
fi

sh "$here/check-udev-rule.sh" "$rules" || fail "$rules does not pass"

rm -rf "$work"; mkdir -p "$work"
# mutant NAME SED_EXPRESSION: a copy of the rule changed by sed must fail.
mutant() {
    copy="$work/70-$1.rules"
    sed "$2" "$rules" > "$copy"
    if cmp -s "$copy" "$rules"; then
        fail "mutant $1 did not change the rule"
    elif sh "$here/check-udev-rule.sh" "$copy" 2>/dev/null; then
        fail "a rule with $1 passes the check"
    fi
}
mutant mode-0666 's/MODE="0620"/MODE="0666"/'
mutant group-reads 's/MODE="0620"/MODE="0660"/'
mutant group-users 's/GROUP="plugdev"/GROUP="users"/'
mutant no-uaccess 's/, TAG+="uaccess"//'
mutant tag-assigned 's/TAG+="uaccess"/TAG=="uaccess"/'
mutant missing-0484 '/0003:0484/d'
mutant twice-0483 's/0003:0484/0003:0483/'
mutant subsystem-assigned 's/SUBSYSTEM=="hidraw"/SUBSYSTEM="hidraw"/'
mutant subsystem-usb 's/SUBSYSTEM=="hidraw"/SUBSYSTEM=="usb"/'
mutant unknown-key 's/TAG+="uaccess"/TAGZ+="uaccess"/'
mutant missing-comma 's/, MODE=/ MODE=/'
mutant unquoted 's/GROUP="plugdev"/GROUP=plugdev/'
mutant attr-without-name 's/ENV{SYSTEMD_WANTS}/ENV/'
mutant no-restore-0eef '/0EEF.*SYSTEMD_WANTS/d'
mutant usb-attributes 's/KERNELS=="0003:0483:5750[.][*]"/ATTRS{idVendor}=="0483", ATTRS{idProduct}=="5750"/'
mutant usb-attribute-added 's/KERNELS=="0003:0484/ATTRS{idVendor}=="0484", &/'
mutant restore-any-node 's/KERNEL=="hidraw\[0-9\]", //'
mutant restore-without-systemd-tag 's/TAG+="systemd", //'
mutant restore-other-unit 's/brightness-restore@%k/brightness-restore@%n/'
mutant restore-assigned 's/ENV{SYSTEMD_WANTS}+=/ENV{SYSTEMD_WANTS}==/'
mutant kernels-lower-case 's/KERNELS=="0003:0EEF:0005/KERNELS=="0003:0eef:0005/'
mutant kernels-bluetooth-bus 's/KERNELS=="0003:0483/KERNELS=="0005:0483/'
mutant kernels-one-instance 's/0003:0EEF:0005[.][*]/0003:0EEF:0005.0001/'
mutant kernels-other-product 's/0003:0483:5750/0003:0483:5751/'
cp "$rules" "$work/99-late.rules"
if sh "$here/check-udev-rule.sh" "$work/99-late.rules" 2>/dev/null; then
    fail "a file that sorts after 73-seat-late.rules passes the check"
fi

finish
