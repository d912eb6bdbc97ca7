#!/bin/sh
# The armhf packages' preinst refuses an ARMv6 CPU, with one line that says
# so, and accepts every other, each row a machine as it shows itself
# (uname -m and the first CPU of /proc/cpuinfo). Runs the preinst of
# debian/ or the one in a built package.
# Usage: check-preinst.sh PREINST_OR_DEB WORK_DIR
set -eu
given=$1; work=$2
. "$(dirname "$0")/lib.sh"

rm -rf "$work"; mkdir -p "$work"
case $given in
    *.deb)
        [ -f "$given" ] || { fail "$given is missing"; finish; }
        lock_dist "$(dirname "$given")"
        dpkg-deb -e "$given" "$work/control"
        preinst="$work/control/preinst" ;;
    *) preinst=$given ;;
esac
[ -x "$preinst" ] || { fail "$preinst: no executable preinst"; finish; }

# ROW|ARCH|ACTION|MACHINE|CPUINFO (\n between lines)|EXPECTED (refuse or accept)
while IFS='|' read -r row arch action machine cpuinfo expected; do
    printf '%b\n' "$cpuinfo" > "$work/cpuinfo"
    if DPKG_MAINTSCRIPT_ARCH=$arch DPKG_MAINTSCRIPT_PACKAGE=brightness-tools \
        BRIGHTNESS_PREINST_MACHINE=$machine BRIGHTNESS_PREINST_CPUINFO="$work/cpuinfo" \
        sh "$preinst" "$action" > "$work/out" 2> "$work/err"; then
        got=accept
    else
        got=refuse
    fi
    [ "$got" = "$expected" ] || { fail "$row: ${got}ed, expected to $expected"; continue; }
    [ ! -s "$work/out" ] || fail "$row: printed on standard output: $(cat "$work/out")"
    if [ "$got" = refuse ]; then
        [ "$(wc -l < "$work/err")" -eq 1 ] || fail "$row: not one line: $(cat "$work/err")"
        grep -q '^brightness-tools: this CPU is ARMv6 .*Built on the Pi itself' "$work/err" \
            || fail "$row: the message does not say why and what to do: $(cat "$work/err")"
    else
        [ ! -s "$work/err" ] || fail "$row: said: $(cat "$work/err")"
    fi
    echo "$row: $got"
done <<'TABLE'
pi-zero|armhf|install|armv6l|processor\t: 0\nmodel name\t: ARMv6-compatible processor rev 7 (v6l)\nCPU architecture: 7\nCPU part\t: 0xb76|refuse
pi-1-upgrade|armhf|upgrade|armv6l|processor\t: 0\nmodel name\t: ARMv6-compatible processor rev 7 (v6l)\nCPU architecture: 7|refuse
pi-2|armhf|install|armv7l|processor\t: 0\nmodel name\t: ARMv7 Processor rev 5 (v7l)\nCPU architecture: 7\nCPU part\t: 0xc07|accept
pi-3-32-bit-kernel|armhf|install|armv7l|processor\t: 0\nmodel name\t: ARMv7 Processor rev 4 (v7l)\nCPU architecture: 7\nCPU part\t: 0xd03|accept
pi-4-64-bit-kernel|armhf|install|aarch64|processor\t: 0\nBogoMIPS\t: 108.00\nCPU architecture: 8\nCPU part\t: 0xd08|accept
pi-5-32-bit-personality|armhf|install|armv8l|processor\t: 0\nBogoMIPS\t: 108.00\nCPU architecture: 8\nCPU part\t: 0xd0b|accept
qemu-cortex-a15|armhf|install|armv7l|processor\t: 0\nmodel name\t: ARMv7 Processor rev 1 (v7l)\nCPU architecture: 7\nCPU part\t: 0xc0f|accept
armv5|armhf|install|armv5tel|processor\t: 0\nmodel name\t: Feroceon 88FR131 rev 1 (v5l)\nCPU architecture: 5TE|refuse
unknown-machine-armv6-cpu|armhf|install|arm|processor\t: 0\nmodel name\t: ARMv6-compatible processor rev 7 (v6l)\nCPU architecture: 7|refuse
unknown-machine-other-cpu|armhf|install|x86_64|processor\t: 0\nmodel name\t: Intel(R) Xeon(R) CPU|accept
arm64-package-on-armv6|arm64|install|armv6l|model name\t: ARMv6-compatible processor rev 7 (v6l)|accept
abort-upgrade-on-armv6|armhf|abort-upgrade|armv6l|model name\t: ARMv6-compatible processor rev 7 (v6l)|accept
TABLE

finish
