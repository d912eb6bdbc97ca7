#!/bin/sh
# cmake --install of a build tree into a staging directory, as a package
# build does it: the exact file list, permissions, icon sizes, the man
# pages, and the record's directory that the tmpfiles.d entry makes.
# Usage: check-install.sh BUILD_DIR SOURCE_DIR VERSION STAGING_DIR
set -eu
build=$1; src=$2; version=$3; stage=$4
. "$(dirname "$0")/lib.sh"

rm -rf "$stage"
mkdir -p "$stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null

(cd "$stage" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) > "$stage.found"
expected_files "$stage.found" > "$stage.expected"
same_list "install tree" "$stage.expected" "$stage.found"

for program in "$stage"/usr/bin/*; do
    [ -x "$program" ] || fail "$program is not executable"
done
for f in usr/lib/udev/rules.d/70-brightness.rules usr/lib/systemd/system/brightness-restore@.service \
         usr/lib/systemd/system/brightness-idle.service \
         usr/lib/systemd/system/brightness-mqtt.service \
         usr/share/applications/brightness.desktop usr/share/dbus-1/system.d/org.brightness.Idle1.conf \
         usr/lib/tmpfiles.d/brightness.conf usr/lib/sysusers.d/brightness.conf usr/share/man/man1/brightness.1; do
    [ -f "$stage/$f" ] || continue
    mode=$(stat -c %a "$stage/$f")
    [ "$mode" = 644 ] || fail "$f has mode $mode, expected 644"
done

for size in 16 22 24 32 48 64 128 256; do
    icon="$stage/usr/share/icons/hicolor/${size}x${size}/apps/brightness.png"
    if [ -f "$icon" ]; then check_png_size "$icon" "$size"; fi
done

sed "s/@PROJECT_VERSION@/$version/" "$src/packaging/brightness.1" | cmp -s "$stage/usr/share/man/man1/brightness.1" - \
    || fail "the installed man page is not packaging/brightness.1 with the version"
# Every page's footer names this version, and the units the pages name are
# where the install put them.
for page in "$stage"/usr/share/man/man1/*.1; do
    grep -q "^\.TH .* \"brightness $version\" " "$page" || fail "$page: the footer does not name version $version"
    for unit in $(sed 's/\\-/-/g' "$page" | grep -o '/[a-z/]*/systemd/system/brightness[a-z@.-]*\.service'); do
        [ -f "$stage$unit" ] || fail "$page names $unit, which is not installed"
    done
done
# What the README says to run after cmake --install: systemd-tmpfiles makes
# the record's directory as the package does (names from the stage's copy
# of this machine's users and groups).
mkdir -p "$stage/etc"
cp /etc/passwd /etc/group "$stage/etc/"
if systemd-tmpfiles --root="$stage" --create brightness.conf > "$stage.tmpfiles" 2>&1; then
    dir=$(stat -c '%A %U %G' "$stage/var/lib/brightness" 2>/dev/null || true)
    [ "$dir" = "drwxrws--x root plugdev" ] || fail "systemd-tmpfiles made the record's directory '$dir', expected 'drwxrws--x root plugdev'"
else
    fail "systemd-tmpfiles --create brightness.conf failed: $(cat "$stage.tmpfiles")"
fi
# ... and systemd-sysusers the services' users: idle reads input devices,
# the bridge does not.
cp /etc/shadow /etc/gshadow "$stage/etc/" 2>/dev/null || true
if systemd-sysusers --root="$stage" brightness.conf > "$stage.sysusers" 2>&1; then
    for pair in _brightness-idle:input _brightness-idle:plugdev _brightness-mqtt:plugdev _brightness-restore:plugdev; do
        grep -q "^${pair#*:}:.*[:,]${pair%%:*}\(,\|\$\)" "$stage/etc/group" \
            || fail "systemd-sysusers did not put ${pair%%:*} in group ${pair#*:}"
    done
    for u in _brightness-mqtt _brightness-restore; do
        ! grep -q "^input:.*$u" "$stage/etc/group" || fail "$u is in group input"
    done
else
    fail "systemd-sysusers brightness.conf failed: $(cat "$stage.sysusers")"
fi
cmp -s "$stage/usr/lib/udev/rules.d/70-brightness.rules" "$src/packaging/70-brightness.rules" \
    || fail "the installed udev rule is not packaging/70-brightness.rules"
cmp -s "$stage/usr/lib/systemd/system/brightness-restore@.service" "$src/packaging/brightness-restore@.service" \
    || fail "the installed restore unit is not packaging/brightness-restore@.service"
cmp -s "$stage/usr/lib/systemd/system/brightness-mqtt.service" "$src/packaging/brightness-mqtt.service" \
    || fail "the installed MQTT unit is not packaging/brightness-mqtt.service"
cmp -s "$stage/usr/lib/systemd/system/brightness-idle.service" "$src/packaging/brightness-idle.service" \
    || fail "the installed idle unit is not packaging/brightness-idle.service"
cmp -s "$stage/usr/share/dbus-1/system.d/org.brightness.Idle1.conf" "$src/packaging/org.brightness.Idle1.conf" \
    || fail "the installed bus policy is not packaging/org.brightness.Idle1.conf"
# The system bus takes it as it is (a bus of its own that reads it).
if command -v dbus-daemon > /dev/null; then
    printf '<busconfig><type>system</type><listen>unix:dir=%s</listen><include>%s</include></busconfig>\n' \
        "$stage" "$stage/usr/share/dbus-1/system.d/org.brightness.Idle1.conf" > "$stage.bus.conf"
    dbus-daemon --config-file="$stage.bus.conf" --print-address=1 --nofork > "$stage.bus" 2>&1 &
    bus=$!
    for _ in 1 2 3 4 5 6 7 8 9 10; do grep -q '^unix:' "$stage.bus" && break; sleep 0.2; done
    grep -q '^unix:' "$stage.bus" || fail "dbus-daemon refused the bus policy: $(cat "$stage.bus")"
    kill "$bus" 2>/dev/null; wait "$bus" 2>/dev/null || true
fi
# The restore unit's sandbox, by systemd's own measure (0 to 100 here, 10
# for each point it prints): 84 without it; no mount namespace, so that a
# plug does not wait for one to be set up.
if systemd-analyze security --help 2>/dev/null | grep -q -- '--offline'; then
    (cd "$stage/usr/lib/systemd/system" && systemd-analyze security --offline=yes --threshold=20 \
        brightness-restore@hidraw0.service > "$stage.security" 2>&1) \
        || fail "the restore unit is more exposed than 2.0: $(tail -n 1 "$stage.security")"
    # The MQTT bridge needs the network, netlink for udev and a group.
    (cd "$stage/usr/lib/systemd/system" && systemd-analyze security --offline=yes --threshold=15 \
        brightness-mqtt.service > "$stage.security" 2>&1) \
        || fail "the MQTT unit is more exposed than 1.5: $(tail -n 1 "$stage.security")"
    # The idle watcher needs netlink for udev, the input devices and groups;
    # 1.5 without its system call deny list, private mounts, /proc subset
    # and umask.
    (cd "$stage/usr/lib/systemd/system" && systemd-analyze security --offline=yes --threshold=10 \
        brightness-idle.service > "$stage.security" 2>&1) \
        || fail "the idle unit is more exposed than 1.0: $(tail -n 1 "$stage.security")"
fi

finish
