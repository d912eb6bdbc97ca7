#!/bin/sh
# Boots the armhf guest of a Debian suite under qemu-system-arm with that
# suite's armhf packages, runs the scenarios in it, and ends with the guest's
# own "N passed, N failed" line; fails when a scenario failed or the guest
# did not get to the end. Artifacts in OUT_DIR: console.log (the guest's
# whole console) and the window's screenshots as PNG.
# Usage: run.sh SUITE BUILD_DIR DIST OLD_DEB OUT_DIR [SCENARIO...]
# SUITE: bookworm or trixie. DIST: the packages' directory, with the suite's
# own in DIST/SUITE (brightness-tools and brightness; the programs the
# scenarios run come from them) and, for trixie's upgrade from bookworm,
# bookworm's in DIST/bookworm. BUILD_DIR: the armhf build with the guest's
# test programs (the display, the person). OLD_DEB: the single package of
# 1.0.0 that bookworm's upgrade scenario upgrades from. SCENARIO: only the
# named scenarios, for a quicker look at one of them.
set -eu
suite=$1; build=$2; dist=$3; old_deb=$4; out=$5; shift 5
only=$(echo "$*" | tr ' ' ',')
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

# The guest's kernel and root file system are kept beside the package
# chroots, in BRIGHTNESS_CACHE, so that a new clone, as CI's is, reuses them.
. "$here/../../scripts/chroot.sh"
guest=$BRIGHTNESS_CACHE/guest-$suite
mkdir -p "$guest"
flock "$guest.lock" sh "$here/build-guest.sh" "$suite" "$guest"

# What this run adds to the cached root: the scenarios, the programs under
# test, the display for the guest and the packages.
overlay="$out/overlay"
rm -rf "$overlay"
mkdir -p "$overlay/scenarios" "$overlay/opt/brightness" "$overlay/pkg/old" "$overlay/pkg/bookworm"
cp "$here/guest/init" "$overlay/init"
cp "$here"/guest/*.sh "$overlay/scenarios/"
mkdir -p "$overlay/etc/systemd/system"
cp "$here/guest/guest-checks.service" "$overlay/etc/systemd/system/"
debs=$(ls "$dist/$suite"/brightness-tools_*_armhf.deb "$dist/$suite"/brightness_*_armhf.deb)
cp $debs "$overlay/pkg/"
# The programs as the suite's packages have them, for the scenarios that run
# them without installing.
rm -rf "$out/programs"
for deb in $debs; do dpkg-deb -x "$deb" "$out/programs"; done
cp "$out/programs/usr/bin/"* "$overlay/opt/brightness/"
cp "$build/tests/support/uhid/uhid-display" "$build/tests/support/uhid/uhid-als" "$build/tests/support/uhid/bus-place" \
   "$build/tests/support/input/uinput-person" "$build/tests/support/input/bare-wake" "$overlay/opt/brightness/"
[ "$suite" = bookworm ] || cp "$dist"/bookworm/brightness-tools_*_armhf.deb "$overlay/pkg/bookworm/"
[ "$suite" != bookworm ] || cp "$old_deb" "$overlay/pkg/old/"
(cd "$overlay" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) > "$out/overlay.cpio"
# The kernel unpacks concatenated archives in turn; later files win.
cat "$guest/base.cpio" "$out/overlay.cpio" > "$out/initrd.cpio"

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
timeout 2700 qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 1 -m 768 -nic none -no-reboot \
    -display none -serial stdio -monitor pipe:"$out/monitor" \
    -device virtio-gpu-device -global virtio-mmio.force-legacy=false \
    -device qemu-xhci -device usb-kbd \
    -kernel "$guest/vmlinuz" -initrd "$out/initrd.cpio" \
    -append "console=ttyAMA0 rdinit=/init loglevel=4 panic=-1 suite=$suite scenarios=$only" </dev/null 2>"$out/qemu.err" \
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
echo "guest run ($suite): $(( $(date +%s) - start )) s; console: $out/console.log"

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
