#!/bin/sh
# Boots the armhf guest under qemu-system-arm with the armhf programs and
# packages, runs the scenarios in it, and ends with the guest's own
# "N passed, N failed" line; fails when a scenario failed or the guest did not
# get to the end. Artifacts in OUT_DIR: console.log (the guest's whole
# console) and the window's screenshots as PNG.
# Usage: run.sh BUILD_DIR DEBS OLD_DEB OUT_DIR [SCENARIO...]
# DEBS: the packages under test, one argument (brightness-tools and
# brightness); OLD_DEB: the single package of 1.0.0 that the upgrade scenario
# upgrades from. SCENARIO: only the named scenarios, for a quicker look at
# one of them.
set -eu
build=$1; debs=$2; old_deb=$3; out=$4; shift 4
only=$(echo "$*" | tr ' ' ',')
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

sh "$here/build-guest.sh" "$out"

# What this run adds to the cached root: the scenarios, the programs under
# test, the display for the guest and the packages.
overlay="$out/overlay"
rm -rf "$overlay"
mkdir -p "$overlay/scenarios" "$overlay/opt/brightness" "$overlay/pkg/old"
cp "$here/guest/init" "$overlay/init"
cp "$here"/guest/*.sh "$overlay/scenarios/"
mkdir -p "$overlay/etc/systemd/system"
cp "$here/guest/guest-checks.service" "$overlay/etc/systemd/system/"
cp "$build/src/brightness" "$build/src/ctl/brightness-ctl" "$build/src/mqtt/brightness-mqtt" \
   "$build/src/idle/brightness-idle" "$build/tests/support/uhid/uhid-display" \
   "$build/tests/support/uhid/bus-place" "$build/tests/support/input/uinput-person" \
   "$build/tests/support/input/bare-wake" "$overlay/opt/brightness/"
# shellcheck disable=SC2086
cp $debs "$overlay/pkg/"
cp "$old_deb" "$overlay/pkg/old/"
(cd "$overlay" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) > "$out/overlay.cpio"
# The kernel unpacks concatenated archives in turn; later files win.
cat "$out/base.cpio" "$out/overlay.cpio" > "$out/initrd.cpio"

rm -f "$out"/*.ppm "$out"/*.png "$out/monitor.in" "$out/monitor.out"
mkfifo "$out/monitor.in" "$out/monitor.out"
cat "$out/monitor.out" > "$out/monitor.log" &
drain=$!

: > "$out/console.log"
cr=$(printf '\r')
start=$(date +%s)
# Memory: the initramfs (the root file system with the packages) is held
# twice while the kernel unpacks it; 512 MB no longer held both.
# The guest asks for a screenshot with a console line "@@screendump NAME" and
# waits a moment for it.
timeout 900 qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 1 -m 768 -nic none -no-reboot \
    -display none -serial stdio -monitor pipe:"$out/monitor" \
    -device virtio-gpu-device -global virtio-mmio.force-legacy=false \
    -device qemu-xhci -device usb-kbd \
    -kernel "$out/vmlinuz" -initrd "$out/initrd.cpio" \
    -append "console=ttyAMA0 rdinit=/init loglevel=4 panic=-1 scenarios=$only" </dev/null 2>"$out/qemu.err" \
| while IFS= read -r line; do
    # Not through tr: a filter's buffering would hold the screenshot lines back.
    line=${line%"$cr"}
    printf '%s\n' "$line" >> "$out/console.log"
    case $line in
    @@screendump\ *)
        # Opened once QEMU reads the pipe, and kept open: the monitor stops
        # reading at the first end of file.
        [ -n "${monitor_open:-}" ] || { exec 7>"$out/monitor.in"; monitor_open=1; }
        echo "screendump $out/${line#@@screendump }.ppm" >&7 ;;
    PASS\ *|FAIL\ *|NOTE\ *|*\ passed,\ *\ failed)
        printf '%s\n' "$line" ;;
    esac
done
kill "$drain" 2>/dev/null || true
echo "guest run: $(( $(date +%s) - start )) s; console: $out/console.log"

for ppm in "$out"/*.ppm; do
    [ -f "$ppm" ] || continue
    convert "$ppm" "${ppm%.ppm}.png" && rm -f "$ppm"
    echo "screenshot: ${ppm%.ppm}.png"
done
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$out/console.log" | tail -n1 || true)
if [ -z "$summary" ]; then
    cat "$out/qemu.err" >&2
    echo "the guest did not finish its scenarios; see $out/console.log" >&2
    exit 1
fi
[ "${summary#* passed, }" = "0 failed" ]
