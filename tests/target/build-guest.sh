#!/bin/sh
# Builds the 32-bit ARM guest of a Debian suite (bookworm, trixie) from
# Debian's armhf packages, with nothing fetched from anywhere else: the
# kernel that linux-image-armmp depends on, and a root file system of the
# packages below with their dependencies, resolved by apt from the suite's
# package lists and unpacked without running their maintainer scripts (the
# dpkg database says they are installed, and knows their scripts and
# triggers, so that later installations run them as on any Debian system).
# The mirror is this machine's own, from its apt sources, with only the suite
# changed; the lists are private to OUT_DIR. Leaves, in OUT_DIR:
#   vmlinuz        the kernel
#   base.cpio      the root file system as an uncompressed initramfs
# Both are kept while the resolved package versions and this script stay the
# same.
# Usage: build-guest.sh SUITE OUT_DIR
set -eu
suite=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

# busybox for the shell and tools; udev and dpkg for the package; sudo for
# the access command; systemd as the first process for the restore on plug;
# the Qt libraries and a font with the status texts' characters for the
# window; Debian's MQTT broker and clients for the bridge.
# usr-is-merged: the layout below is merged already (and usrmerge would pull
# in perl). util-linux: flock(1), to hold the record's lock as a user would.
# init-system-helpers (with perl-base, which it runs on): the packages'
# maintainer scripts enable, start and purge units with it, as on any Debian
# system, where both are essential. dbus: the system bus (dbus-daemon and its
# configuration) for brightness-idle's service and systemd-logind.
# A|B: the first of the names that the suite has (trixie's 64-bit time
# renamed the armhf libraries).
packages="busybox-static coreutils dpkg libc-bin usr-is-merged udev systemd sudo util-linux libqt5widgets5t64|libqt5widgets5 fonts-wqy-microhei mosquitto mosquitto-clients init-system-helpers perl-base dbus"
# Kernel modules the scenarios need: the framebuffer (virtio-gpu on
# virtio-mmio), raw HID through uhid, and input devices for key presses.
modules="virtio_mmio virtio-gpu hid uhid hid-generic evdev uinput"
usb_modules="xhci-pci usbhid"

# The suite's sources: each deb entry of this machine's apt sources for its
# own release (its -updates and -security too), with the release's name
# changed to SUITE; deb822 and one-line forms.
host_suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
sources() {
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\)[[:space:]]\+\(.*\)$/\2 \3 \4/p' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'function flush() { if (types ~ /(^| )deb( |$)/ && enabled != "no") { n = split(uris, u, " "); m = split(suites, s, " ");
                 for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j], comps }
               types = uris = suites = comps = enabled = "" }
             /^[[:space:]]*#/ { next }
             /^[[:space:]]*$/ { flush(); next }
             { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ /, "") }
             key == "types" { types = $0 } key == "uris" { uris = $0 } key == "suites" { suites = $0 }
             key == "components" { comps = $0 } key == "enabled" { enabled = tolower($0) }
             END { flush() }' "$f"
    done
}
apt_dir="$out/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
sources | awk -v from="$host_suite" -v to="$suite" '$2 == from || index($2, from "-") == 1 {
        sub("^" from, to, $2); print "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] " $0 }' \
    | sort -u > "$apt_dir/sources.list"
[ -s "$apt_dir/sources.list" ] || { echo "build-guest: no apt source of this machine names $host_suite" >&2; exit 1; }
: > "$out/empty-status"
apt_armhf() {
    # The suite's armhf lists alone, against an empty package database, so
    # that every dependency is listed; the host's own apt and dpkg state are
    # neither read nor locked.
    apt-get -o APT::Architecture=armhf -o APT::Architectures::=armhf \
        -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/parts" \
        -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$apt_dir/parts" \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
        -o Dir::State::status="$out/empty-status" -o Debug::NoLocking=1 -o APT::Sandbox::User=root \
        --no-install-recommends "$@"
}
apt_cache() {
    apt-cache -o APT::Architecture=armhf -o APT::Architectures::=armhf \
        -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/parts" \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
        -o Dir::State::status="$out/empty-status" "$@"
}
# A mirror caught mid-sync serves an index that does not match its Release
# file: tried again, then the suite's other lists do (an -updates or
# -security list missing leaves the release's own versions).
tries=1
until apt_armhf -qq update > "$out/update.log" 2>&1; do
    if ! grep -q 'Mirror sync in progress\|Hash Sum mismatch\|unexpected size' "$out/update.log"; then
        cat "$out/update.log" >&2; exit 1
    fi
    if [ "$tries" -ge 3 ]; then
        echo "build-guest: going on without the lists the mirror could not give:" >&2
        grep '^E: Failed to fetch' "$out/update.log" >&2
        break
    fi
    tries=$((tries + 1))
    sleep 30
done
names=""
for alternatives in $packages; do
    found=""
    for p in $(echo "$alternatives" | tr '|' ' '); do
        apt_cache show "$p" > /dev/null 2>&1 && { found=$p; break; }
    done
    [ -n "$found" ] || { echo "build-guest: $suite has none of $alternatives" >&2; exit 1; }
    names="$names $found"
done
kernel=$(apt_cache depends linux-image-armmp:armhf | sed -n 's/^ *Depends: \(linux-image-[^:]*\).*/\1/p' | head -n1)
[ -n "$kernel" ] || { echo "build-guest: no kernel package behind linux-image-armmp:armhf" >&2; exit 1; }
# name:arch=version, one a line, sorted.
apt_armhf -s install $names \
    | sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*\[\(armhf\|all\)\]).*$/\1:\3=\2/p' | sort > "$out/packages.new"
[ -s "$out/packages.new" ] || { echo "build-guest: apt resolved no packages" >&2; exit 1; }
kver=$(apt_cache show "$kernel:armhf" | sed -n 's/^Version: //p' | head -n1)
echo "$kernel:armhf=$kver" >> "$out/packages.new"
key=$( { cat "$out/packages.new"; cat "$0"; } | sha256sum | cut -d' ' -f1)
if [ -f "$out/base.cpio" ] && [ -f "$out/vmlinuz" ] && [ "$(cat "$out/base.key" 2>/dev/null)" = "$key" ]; then
    exit 0
fi
rm -f "$out/base.key"
echo "building the guest from $(wc -l < "$out/packages.new") Debian packages" >&2

debs="$out/debs"
rm -rf "$debs"
mkdir -p "$debs"
# apt-get download drops its privileges for the download: the directory must
# be open to it.
chmod 755 "$debs"
(cd "$debs" && apt_armhf download $(cat "$out/packages.new") >/dev/null 2>"$out/download.log") \
    || { cat "$out/download.log" >&2; exit 1; }

root="$out/root"
rm -rf "$root" "$out/kernel"
mkdir -p "$root/usr/bin" "$root/usr/sbin" "$root/usr/lib" "$root/var/lib/dpkg/info" "$out/kernel"
# The merged /usr layout that bookworm's usrmerge would make.
ln -s usr/bin "$root/bin"; ln -s usr/sbin "$root/sbin"; ln -s usr/lib "$root/lib"
: > "$root/var/lib/dpkg/status"
for deb in "$debs"/*.deb; do
    case $(basename "$deb") in
    linux-image-*)
        dpkg-deb -x "$deb" "$out/kernel"
        continue ;;
    esac
    dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$root"
    name=$(dpkg-deb -f "$deb" Package)
    # dpkg's name for its files: with the architecture where several may be
    # installed side by side.
    info=$name
    [ "$(dpkg-deb -f "$deb" Multi-Arch)" != same ] || info=$name:armhf
    { dpkg-deb -f "$deb" | sed '/^Package:/a Status: install ok installed'; echo; } >> "$root/var/lib/dpkg/status"
    dpkg-deb -c "$deb" | awk '{ p = $6; sub(/^\./, "", p); sub(/\/$/, "", p); print (p == "" ? "/." : p) }' \
        > "$root/var/lib/dpkg/info/$info.list"
    # The maintainer scripts, conffiles and triggers, where dpkg keeps them.
    rm -rf "$out/control"; mkdir "$out/control"
    dpkg-deb -e "$deb" "$out/control"
    for f in preinst postinst prerm postrm triggers shlibs symbols conffiles md5sums; do
        [ ! -f "$out/control/$f" ] || cp -p "$out/control/$f" "$root/var/lib/dpkg/info/$info.$f"
    done
    # A trigger this package is interested in, in dpkg's register: a path in
    # triggers/File, a name in a file of its own.
    if [ -f "$out/control/triggers" ]; then
        sed -n 's/^[[:space:]]*interest\(-await\|-noawait\)\?[[:space:]]\+\([^[:space:]]*\).*/\2 \1/p' "$out/control/triggers" \
        | while read -r trigger how; do
            mkdir -p "$root/var/lib/dpkg/triggers"
            pkg=$name; [ "$how" != -noawait ] || pkg=$name/noawait
            case $trigger in
            /*) echo "$trigger $pkg" >> "$root/var/lib/dpkg/triggers/File" ;;
            *) echo "$pkg" >> "$root/var/lib/dpkg/triggers/$trigger" ;;
            esac
        done
    fi
    # Conffiles are registered, so that dpkg treats them as such later.
    if [ -s "$out/control/conffiles" ]; then
        tmp="$out/status.tmp"
        { printf 'Conffiles:\n'; while read -r f; do
            [ -f "$root$f" ] && printf ' %s %s\n' "$f" "$(md5sum < "$root$f" | cut -d' ' -f1)"
          done < "$out/control/conffiles"; } > "$out/conffiles.field"
        # Inserted before the blank line that ends this package's entry.
        head -n -1 "$root/var/lib/dpkg/status" > "$tmp"
        cat "$out/conffiles.field" >> "$tmp"; echo >> "$tmp"
        mv "$tmp" "$root/var/lib/dpkg/status"
    fi
done
mkdir -p "$root/var/lib/dpkg/triggers" "$root/var/lib/dpkg/updates"
# /var/run is /run, as base-files' own script makes it.
rm -rf "$root/var/run"; ln -s /run "$root/var/run"
: > "$root/var/lib/dpkg/triggers/Unincorp"
# The root file system lives in the guest's memory: what nothing here reads
# goes (documentation, translations, perl's library, the hardware database's
# sources).
rm -rf "$root/usr/share/doc" "$root/usr/share/man" "$root/usr/share/info" "$root/usr/share/locale" \
    "$root/usr/share/perl" "$root/usr/lib/arm-linux-gnueabihf/perl" "$root/usr/lib/udev/hwdb.d"
# Nor Mesa's drivers, which Qt's GL library loads only for a GL context
# (offscreen and linuxfb make none), with the LLVM they link: a third of
# trixie's guest.
(cd "$root/usr/lib/arm-linux-gnueabihf" && rm -rf libLLVM* libgallium-* libz3.so* libEGL_mesa* libGLX_mesa* gbm dri)

# busybox provides every command that no package here does.
for applet in $(qemu-arm "$root/bin/busybox" --list); do
    [ -e "$root/usr/bin/$applet" ] || [ -e "$root/usr/sbin/$applet" ] || ln -s busybox "$root/usr/bin/$applet"
done

kdir=$(ls -d "$out"/kernel/lib/modules/* "$out"/kernel/usr/lib/modules/* 2>/dev/null | head -n1)
kver=$(basename "$kdir")
cp "$out/kernel/boot/vmlinuz-$kver" "$out/vmlinuz"
# Load order from each module's own "depends=" entry; the package has no
# modules.dep. Modules may come compressed (trixie's), and the guest loads
# them plain; those built into the kernel need no loading.
find "$kdir" -name '*.ko' -o -name '*.ko.xz' -o -name '*.ko.zst' > "$out/modules.all"
module_path() { grep -E "/$(echo "$1" | sed 's/[-_]/[-_]/g')\.ko(\.xz|\.zst)?\$" "$out/modules.all" | head -n1; }
builtin() { grep -qE "/$(echo "$1" | sed 's/[-_]/[-_]/g')\.ko\$" "$kdir/modules.builtin" 2>/dev/null; }
order=""
add_module() {
    local path name deps dep
    path=$(module_path "$1")
    if [ -z "$path" ]; then
        builtin "$1" && return
        echo "build-guest: no module $1 in $kernel" >&2; exit 1
    fi
    name=$(basename "$path"); name=${name%%.ko*}
    case " $order " in *" $name "*) return ;; esac
    mkdir -p "$root/lib/modules/$kver"
    case $path in
    *.xz) xz -dc "$path" ;;
    *.zst) zstd -qdc "$path" ;;
    *) cat "$path" ;;
    esac > "$root/lib/modules/$kver/$name.ko"
    deps=$(arm-linux-gnueabihf-objcopy -O binary --only-section=.modinfo "$root/lib/modules/$kver/$name.ko" /dev/stdout \
        | tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' ')
    for dep in $deps; do add_module "$dep"; done
    order="$order $name"
}
for m in $modules; do add_module "$m"; done
echo $order | tr ' ' '\n' | sed "s|^|/lib/modules/$kver/|; s|\$|.ko|" > "$root/etc/guest-modules"
# A USB host controller and USB HID, loaded by the scenario that needs a real
# USB device (QEMU's USB keyboard), after the others.
booted=$order
for m in $usb_modules; do add_module "$m"; done
echo ${order#$booted} | tr ' ' '\n' | sed "s|^|/lib/modules/$kver/|; s|\$|.ko|" > "$root/etc/guest-modules-usb"
# The HID sensor drivers and IIO, loaded by the ambient scenario, so that a
# sensor made through uhid becomes an IIO light sensor.
booted=$order
for m in hid-sensor-hub hid-sensor-als; do add_module "$m"; done
echo ${order#$booted} | tr ' ' '\n' | sed "s|^|/lib/modules/$kver/|; s|\$|.ko|" > "$root/etc/guest-modules-als"

# Users: root; "user", who has no access to the display; "plug", in plugdev.
cat > "$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
user:x:1000:1000:user:/home/user:/bin/sh
plug:x:1001:1001:plug:/home/plug:/bin/sh
nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin
EOF
cat > "$root/etc/group" <<'EOF'
root:x:0:
tty:x:5:
disk:x:6:
kmem:x:15:
dialout:x:20:
cdrom:x:24:
sudo:x:27:
audio:x:29:
video:x:44:
plugdev:x:46:plug
users:x:100:
input:x:101:
kvm:x:102:
render:x:103:
sgx:x:104:
user:x:1000:
plug:x:1001:
nogroup:x:65534:
EOF
printf 'root:*:19000:0:99999:7:::\nuser:*:19000:0:99999:7:::\nplug:*:19000:0:99999:7:::\nnobody:*:19000:0:99999:7:::\n' > "$root/etc/shadow"
chmod 640 "$root/etc/shadow"
# The system bus's user, as dbus's maintainer scripts would make it (from
# its sysusers.d entry).
systemd-sysusers --root="$root" - < "$root/usr/lib/sysusers.d/dbus.conf"
mkdir -p "$root/home/user" "$root/home/plug" "$root/root" "$root/var/log" "$root/var/tmp"
chmod 1777 "$root/var/tmp"
chown 1000:1000 "$root/home/user"; chown 1001:1001 "$root/home/plug"
echo guest > "$root/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 guest\n' > "$root/etc/hosts"
# What pam-auth-update would write; nobody here logs in with a password.
for f in auth account session session-noninteractive password; do
    echo "$f required pam_permit.so" | sed 's/^session-noninteractive/session/' > "$root/etc/pam.d/common-$f"
done
qemu-arm "$root/usr/sbin/ldconfig" -r "$root"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$out/base.cpio.tmp"
mv "$out/base.cpio.tmp" "$out/base.cpio"
mv "$out/packages.new" "$out/packages"
echo "$key" > "$out/base.key"
echo "guest: $(du -sm "$root" | cut -f1) MB, kernel $kver" >&2
