#!/bin/sh
# Builds the 32-bit ARM guest from Debian's armhf packages, with nothing
# fetched from anywhere else: the kernel that linux-image-armmp depends on,
# and a root file system of the packages below with their dependencies,
# resolved by apt from the machine's configured sources and unpacked without
# running their maintainer scripts (the dpkg database says they are
# installed). Leaves, in OUT_DIR:
#   vmlinuz        the kernel
#   base.cpio      the root file system as an uncompressed initramfs
# Both are kept while the resolved package versions and this script stay the
# same.
# Usage: build-guest.sh OUT_DIR
set -eu
out=$1
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
packages="busybox-static coreutils dpkg libc-bin usr-is-merged udev systemd sudo util-linux libqt5widgets5 fonts-wqy-microhei mosquitto mosquitto-clients init-system-helpers perl-base dbus"
# Kernel modules the scenarios need: the framebuffer (virtio-gpu on
# virtio-mmio), raw HID through uhid, and input devices for key presses.
modules="virtio_mmio virtio-gpu hid uhid hid-generic evdev uinput"
usb_modules="xhci-pci usbhid"

apt_armhf() {
    # Resolves against an empty package database, so that every dependency is
    # listed; the host's own dpkg state is neither read nor locked.
    apt-get -o APT::Architecture=armhf -o APT::Architectures::=armhf \
        -o Dir::State::status="$out/empty-status" -o Debug::NoLocking=1 \
        --no-install-recommends "$@"
}
: > "$out/empty-status"
kernel=$(apt-cache depends linux-image-armmp:armhf | sed -n 's/^ *Depends: \(linux-image-[^:]*\).*/\1/p' | head -n1)
[ -n "$kernel" ] || { echo "build-guest: no kernel package behind linux-image-armmp:armhf" >&2; exit 1; }
# name:arch=version, one a line, sorted.
apt_armhf -s install $packages \
    | sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*\[\(armhf\|all\)\]).*$/\1:\3=\2/p' | sort > "$out/packages.new"
[ -s "$out/packages.new" ] || { echo "build-guest: apt resolved no packages" >&2; exit 1; }
kver=$(apt-cache show "$kernel:armhf" | sed -n 's/^Version: //p' | head -n1)
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
(cd "$debs" && apt-get download $(cat "$out/packages.new") >/dev/null 2>"$out/download.log") \
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
    { dpkg-deb -f "$deb" | sed '/^Package:/a Status: install ok installed'; echo; } >> "$root/var/lib/dpkg/status"
    dpkg-deb -c "$deb" | awk '{ p = $6; sub(/^\./, "", p); sub(/\/$/, "", p); print (p == "" ? "/." : p) }' \
        > "$root/var/lib/dpkg/info/$name.list"
    # Conffiles are registered, so that dpkg treats them as such later.
    if dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx './conffiles'; then
        dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles > "$out/conffiles"
        if [ -s "$out/conffiles" ]; then
            tmp="$out/status.tmp"
            { printf 'Conffiles:\n'; while read -r f; do
                [ -f "$root$f" ] && printf ' %s %s\n' "$f" "$(md5sum < "$root$f" | cut -d' ' -f1)"
              done < "$out/conffiles"; } > "$out/conffiles.field"
            # Inserted before the blank line that ends this package's entry.
            head -n -1 "$root/var/lib/dpkg/status" > "$tmp"
            cat "$out/conffiles.field" >> "$tmp"; echo >> "$tmp"
            mv "$tmp" "$root/var/lib/dpkg/status"
        fi
    fi
done
# The root file system lives in the guest's memory: what nothing here reads
# goes (documentation, translations, perl's library, the hardware database's
# sources).
rm -rf "$root/usr/share/doc" "$root/usr/share/man" "$root/usr/share/info" "$root/usr/share/locale" \
    "$root/usr/share/perl" "$root/usr/lib/arm-linux-gnueabihf/perl" "$root/usr/lib/udev/hwdb.d"

# busybox provides every command that no package here does.
for applet in $(qemu-arm "$root/bin/busybox" --list); do
    [ -e "$root/usr/bin/$applet" ] || [ -e "$root/usr/sbin/$applet" ] || ln -s busybox "$root/usr/bin/$applet"
done

kdir=$(ls -d "$out"/kernel/lib/modules/* | head -n1)
kver=$(basename "$kdir")
cp "$out/kernel/boot/vmlinuz-$kver" "$out/vmlinuz"
# Load order from each module's own "depends=" entry; the package has no
# modules.dep.
find "$kdir" -name '*.ko' > "$out/modules.all"
module_path() { grep -E "/$(echo "$1" | sed 's/[-_]/[-_]/g')\.ko\$" "$out/modules.all" | head -n1; }
order=""
add_module() {
    local path name deps dep
    path=$(module_path "$1")
    [ -n "$path" ] || { echo "build-guest: no module $1 in $kernel" >&2; exit 1; }
    name=$(basename "$path" .ko)
    case " $order " in *" $name "*) return ;; esac
    deps=$(arm-linux-gnueabihf-objcopy -O binary --only-section=.modinfo "$path" /dev/stdout \
        | tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' ')
    for dep in $deps; do add_module "$dep"; done
    order="$order $name"
    mkdir -p "$root/lib/modules/$kver"
    cp "$path" "$root/lib/modules/$kver/$name.ko"
}
for m in $modules; do add_module "$m"; done
echo $order | tr ' ' '\n' | sed "s|^|/lib/modules/$kver/|; s|\$|.ko|" > "$root/etc/guest-modules"
# A USB host controller and USB HID, loaded by the scenario that needs a real
# USB device (QEMU's USB keyboard), after the others.
booted=$order
for m in $usb_modules; do add_module "$m"; done
echo ${order#$booted} | tr ' ' '\n' | sed "s|^|/lib/modules/$kver/|; s|\$|.ko|" > "$root/etc/guest-modules-usb"

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
