#!/bin/sh
# The packages that scripts/package.sh leaves in dist/, for each
# architecture, seen through dpkg-deb -I and -c: control fields,
# architecture, dependencies (brightness-tools without Qt, the window on the
# same version of it), the takeover from the single package of 1.0.0
# (Breaks and Replaces), the file list with its owners and modes, the
# programs' machine type, and the shipped documents.
# Usage: check-debs.sh DIST_DIR VERSION SOURCE_DIR WORK_DIR
# DIST_DIR is dist/SUITE; VERSION the suite's (1.1.0~deb12u1).
set -eu
dist=$1; version=$2; src=$3; work=$4
. "$(dirname "$0")/lib.sh"
# The release that took over from the single package, without the suite.
upstream=${version%%~*}
# The Qt libraries as the suite names them: trixie's carry 64-bit time_t.
case $(basename "$dist") in
    bookworm) qt_libs="libqt5core5a libqt5gui5 libqt5widgets5" ;;
    trixie) qt_libs="libqt5core5t64 libqt5gui5t64 libqt5widgets5t64" ;;
    *) fail "$dist: not a suite's directory"; finish ;;
esac

rm -rf "$work"; mkdir -p "$work"
lock_dist "$dist"

# has_dep LIST NAME: the comma-separated LIST names package NAME.
has_dep() { printf '%s\n' "$1" | tr ',|' '\n\n' | grep -q "^ *$2\( \|$\)"; }

# ELF machine numbers: EM_X86_64 = 62, EM_ARM = 40, EM_AARCH64 = 183;
# class 2 = 64-bit.
for target in "amd64 2 62" "armhf 1 40" "arm64 2 183"; do
    set -- $target
    arch=$1; class=$2; machine=$3
  for pkg in brightness-tools brightness; do
    deb="$dist/${pkg}_${version}_$arch.deb"
    id="$pkg $arch"
    echo "== $deb"
    if [ ! -f "$deb" ]; then fail "$deb is missing"; continue; fi

    dpkg-deb -I "$deb" > "$work/info" || { fail "dpkg-deb -I $deb failed"; continue; }
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = "$pkg" ] || fail "$id: Package is '$(field Package)'"
    [ "$(field Source)" = "" ] || [ "$(field Source)" = brightness ] || fail "$id: Source is '$(field Source)'"
    [ "$(field Version)" = "$version" ] || fail "$id: Version is '$(field Version)'"
    [ "$(field Architecture)" = "$arch" ] || fail "$id: Architecture is '$(field Architecture)'"
    [ "$(field Section)" = utils ] || fail "$id: Section is '$(field Section)'"
    [ "$(field Priority)" = optional ] || fail "$id: Priority is '$(field Priority)'"
    field Maintainer | grep -q '^[^<]* <[^>@]*@[^>]*>$' || fail "$id: Maintainer '$(field Maintainer)' is not 'name <address>'"
    field Description | head -n 1 | grep -q . || fail "$id: no description"
    [ "$(field Description | wc -l)" -ge 3 ] || fail "$id: no long description"
    depends=$(field Depends)
    for lib in libc6 libstdc++6; do
        has_dep "$depends" $lib || fail "$id: Depends lacks $lib: '$depends'"
    done
    if [ $pkg = brightness-tools ]; then
        for lib in libmosquitto1 libsystemd0; do
            has_dep "$depends" $lib || fail "$id: Depends lacks $lib: '$depends'"
        done
        # udev's monitor is libsystemd's sd-device now.
        has_dep "$depends" libudev1 && fail "$id: still depends on libudev1: '$depends'"
        printf '%s\n' "$depends" | grep -q 'libqt' && fail "$id: depends on Qt: '$depends'"
        # Debian policy 7.6.1: files that move from the single package.
        [ "$(field Breaks)" = "brightness (<< $upstream~)" ] || fail "$id: Breaks is '$(field Breaks)'"
        [ "$(field Replaces)" = "brightness (<< $upstream~)" ] || fail "$id: Replaces is '$(field Replaces)'"
        for script in postinst postrm prerm; do
            grep -Eq "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script " "$work/info" \
                || fail "$id: no executable $script in the control archive"
        done
    else
        for lib in $qt_libs; do
            has_dep "$depends" $lib || fail "$id: Depends lacks $lib: '$depends'"
        done
        has_dep "$depends" "brightness-tools (= $version)" || fail "$id: does not depend on brightness-tools (= $version): '$depends'"
    fi

    # File list: every file of the package, owned by root, with the modes
    # Debian wants; directories 0755.
    dpkg-deb -c "$deb" > "$work/contents" || { fail "dpkg-deb -c $deb failed"; continue; }
    awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' "$work/contents" | LC_ALL=C sort > "$work/found-$pkg-$arch"
    package_files $pkg "$work/found-$pkg-$arch" > "$work/expected"
    same_list "$id" "$work/expected" "$work/found-$pkg-$arch"
    awk -v id="$id" '
        $2 != "root/root" { printf "%s: %s is owned by %s\n", id, $6, $2; bad = 1 }
        $1 ~ /^d/ && $1 != "drwxr-xr-x" { printf "%s: directory %s has mode %s\n", id, $6, $1; bad = 1 }
        $1 ~ /^-/ && $6 ~ /^\.\/usr\/bin\// && $1 != "-rwxr-xr-x" { printf "%s: program %s has mode %s\n", id, $6, $1; bad = 1 }
        $1 ~ /^-/ && $6 !~ /^\.\/usr\/bin\// && $1 != "-rw-r--r--" { printf "%s: %s has mode %s\n", id, $6, $1; bad = 1 }
        END { exit bad }
    ' "$work/contents" >&2 || fail "$id: owners or modes are wrong"

    # The programs are built for this architecture and stripped.
    tree="$work/tree-$arch"
    mkdir -p "$tree"
    dpkg-deb -x "$deb" "$tree"
    for program in $(sed -n 's|^usr/bin/||p' "$work/found-$pkg-$arch"); do
        program="$tree/usr/bin/$program"
        name=$(basename "$program")
        [ "$(bytes "$program" 0 4)" = "127 69 76 70" ] || { fail "$id: $name is not ELF"; continue; }
        [ "$(bytes "$program" 4 1)" = "$class" ] || fail "$id: $name has ELF class $(bytes "$program" 4 1), expected $class"
        [ "$(bytes "$program" 18 2)" = "$machine 0" ] || fail "$id: $name has ELF machine $(bytes "$program" 18 2), expected $machine"
        sections=$(readelf -S -W "$program")
        for section in .symtab .debug_info .comment; do
            if printf '%s\n' "$sections" | grep -qF " $section "; then
                fail "$id: $name still has $section"
            fi
        done
    done
    changelog="$tree/usr/share/doc/$pkg/changelog.gz"
    case "$(gzip -dc "$changelog" 2>/dev/null | head -n 1)" in
        "brightness ($version) "*) ;;
        *) fail "$id: the changelog does not start with version $version" ;;
    esac
  done
    for page in "$tree"/usr/share/man/man1/*; do
        check_gzip_9n "$page"
    done
    gzip -dc "$tree/usr/share/man/man1/brightness.1.gz" > "$work/page" || fail "$arch: the man page is not gzip"
    # The page carries the build's version, without the suite's suffix.
    sed "s/@PROJECT_VERSION@/${version%%~*}/" "$src/packaging/brightness.1" | cmp -s - "$work/page" \
        || fail "$arch: the man page differs from packaging/brightness.1 with the version"
    for pair in "usr/lib/udev/rules.d/70-brightness.rules packaging/70-brightness.rules" \
                "usr/lib/systemd/system/brightness-restore@.service packaging/brightness-restore@.service" \
                "usr/lib/systemd/system/brightness-idle.service packaging/brightness-idle.service" \
                "usr/lib/systemd/system/brightness-mqtt.service packaging/brightness-mqtt.service" \
                "usr/lib/tmpfiles.d/brightness.conf packaging/brightness.tmpfiles" \
                "usr/share/lintian/overrides/brightness-tools debian/brightness-tools.lintian-overrides" \
                "usr/share/applications/brightness.desktop packaging/brightness.desktop" \
                "usr/share/doc/brightness/copyright debian/copyright" \
                "usr/share/doc/brightness-tools/copyright debian/copyright"; do
        set -- $pair
        cmp -s "$tree/$1" "$src/$2" || fail "$arch: $1 is not $2"
    done
done

finish
