#!/bin/sh
# The two packages that scripts/package.sh leaves in dist/, seen through
# dpkg-deb -I and -c: control fields, architecture, dependencies on the
# libraries the program links, maintainer scripts, the file list with its
# owners and modes, the program's machine type, and the shipped documents.
# Usage: check-debs.sh DIST_DIR VERSION SOURCE_DIR WORK_DIR
set -eu
dist=$1; version=$2; src=$3; work=$4
. "$(dirname "$0")/lib.sh"

rm -rf "$work"; mkdir -p "$work"
lock_dist "$dist"

# ELF machine numbers: EM_X86_64 = 62, EM_ARM = 40; class 2 = 64-bit.
for target in "amd64 2 62" "armhf 1 40"; do
    set -- $target
    arch=$1; class=$2; machine=$3
    deb="$dist/brightness_${version}_$arch.deb"
    echo "== $deb"
    if [ ! -f "$deb" ]; then fail "$deb is missing"; continue; fi

    dpkg-deb -I "$deb" > "$work/info-$arch" || { fail "dpkg-deb -I $deb failed"; continue; }
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = brightness ] || fail "$arch: Package is '$(field Package)'"
    [ "$(field Version)" = "$version" ] || fail "$arch: Version is '$(field Version)'"
    [ "$(field Architecture)" = "$arch" ] || fail "$arch: Architecture is '$(field Architecture)'"
    [ "$(field Section)" = utils ] || fail "$arch: Section is '$(field Section)'"
    [ "$(field Priority)" = optional ] || fail "$arch: Priority is '$(field Priority)'"
    field Maintainer | grep -q '^[^<]* <[^>@]*@[^>]*>$' || fail "$arch: Maintainer '$(field Maintainer)' is not 'name <address>'"
    field Description | head -n 1 | grep -q . || fail "$arch: no description"
    [ "$(field Description | wc -l)" -ge 3 ] || fail "$arch: no long description"
    depends=$(field Depends)
    for lib in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5widgets5; do
        printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$lib " \
            || fail "$arch: Depends lacks $lib: '$depends'"
    done
    for script in postinst postrm; do
        grep -Eq "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script " "$work/info-$arch" \
            || fail "$arch: no executable $script in the control archive"
    done

    # File list: every file of an install, owned by root, with the modes
    # Debian wants; directories 0755.
    dpkg-deb -c "$deb" > "$work/contents-$arch" || { fail "dpkg-deb -c $deb failed"; continue; }
    awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' "$work/contents-$arch" | LC_ALL=C sort > "$work/found-$arch"
    expected_files "$work/found-$arch" > "$work/expected-$arch"
    same_list "$arch package" "$work/expected-$arch" "$work/found-$arch"
    awk -v arch="$arch" '
        $2 != "root/root" { printf "%s: %s is owned by %s\n", arch, $6, $2; bad = 1 }
        $1 ~ /^d/ && $1 != "drwxr-xr-x" { printf "%s: directory %s has mode %s\n", arch, $6, $1; bad = 1 }
        $1 ~ /^-/ && $6 ~ /^\.\/usr\/bin\// && $1 != "-rwxr-xr-x" { printf "%s: program %s has mode %s\n", arch, $6, $1; bad = 1 }
        $1 ~ /^-/ && $6 !~ /^\.\/usr\/bin\// && $1 != "-rw-r--r--" { printf "%s: %s has mode %s\n", arch, $6, $1; bad = 1 }
        END { exit bad }
    ' "$work/contents-$arch" >&2 || fail "$arch: owners or modes are wrong"

    # The program is built for this architecture and stripped.
    tree="$work/tree-$arch"
    mkdir -p "$tree"
    dpkg-deb -x "$deb" "$tree"
    for program in "$tree"/usr/bin/*; do
        [ -f "$program" ] || continue
        name=$(basename "$program")
        [ "$(bytes "$program" 0 4)" = "127 69 76 70" ] || { fail "$arch: $name is not ELF"; continue; }
        [ "$(bytes "$program" 4 1)" = "$class" ] || fail "$arch: $name has ELF class $(bytes "$program" 4 1), expected $class"
        [ "$(bytes "$program" 18 1)" = "$machine" ] || fail "$arch: $name has ELF machine $(bytes "$program" 18 1), expected $machine"
        sections=$(readelf -S -W "$program")
        for section in .symtab .debug_info .comment; do
            if printf '%s\n' "$sections" | grep -qF " $section "; then
                fail "$arch: $name still has $section"
            fi
        done
    done
    for page in "$tree"/usr/share/man/man1/*; do
        if [ -f "$page" ]; then check_gzip_9n "$page"; fi
    done
    page="$tree/usr/share/man/man1/brightness.1.gz"
    if [ -f "$page" ]; then
        gzip -dc "$page" | cmp -s - "$src/packaging/brightness.1" || fail "$arch: the man page differs from packaging/brightness.1"
    fi
    for pair in "usr/lib/udev/rules.d/70-brightness.rules packaging/70-brightness.rules" \
                "usr/lib/systemd/system/brightness-restore@.service packaging/brightness-restore@.service" \
                "usr/lib/systemd/system/brightness-idle.service packaging/brightness-idle.service" \
                "usr/share/lintian/overrides/brightness packaging/debian/lintian-overrides" \
                "usr/lib/systemd/system/brightness-mqtt.service packaging/brightness-mqtt.service" \
                "usr/share/applications/brightness.desktop packaging/brightness.desktop" \
                "usr/share/doc/brightness/copyright packaging/debian/copyright"; do
        set -- $pair
        cmp -s "$tree/$1" "$src/$2" || fail "$arch: $1 is not $2"
    done
done

finish
