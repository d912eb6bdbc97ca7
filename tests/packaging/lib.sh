# Sourced by the packaging checks.

# The exit code that CTest counts as a skip (SKIP_RETURN_CODE).
SKIP=77

FAILED=0
fail() {
    echo "FAIL: $*" >&2
    FAILED=1
}

# finish: ends the check with its outcome.
finish() {
    if [ "$FAILED" -ne 0 ]; then
        echo "some checks failed" >&2
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

# expected_files FOUND_LIST: the files that cmake --install to /usr must put
# down, relative to the root, sorted. Programs that the install has besides
# brightness (from FOUND_LIST) are expected with a man page each.
expected_files() {
    { tools_files; window_files; echo usr/share/man/man1/brightness.1; other_programs "$1" .1; } | LC_ALL=C sort
}

# package_files PACKAGE FOUND_LIST: the files of one Debian package, sorted.
package_files() {
    {
        echo "usr/share/doc/$1/changelog.gz"
        echo "usr/share/doc/$1/copyright"
        case $1 in
        brightness-tools)
            tools_files
            echo usr/share/lintian/overrides/brightness-tools
            other_programs "$2" .1.gz ;;
        brightness)
            window_files
            echo usr/share/man/man1/brightness.1.gz ;;
        esac
    } | LC_ALL=C sort
}

# other_programs FOUND_LIST SUFFIX: each program but the window, with its
# man page (NAME.1 and SUFFIX).
other_programs() {
    sed -n 's|^usr/bin/||p' "$1" | grep -vx brightness | while read -r program; do
        echo "usr/bin/$program"
        echo "usr/share/man/man1/$program$2"
    done
}

# Without Qt: brightness-tools.
tools_files() {
    cat <<'LIST'
usr/lib/systemd/system/brightness-idle.service
usr/lib/systemd/system/brightness-mqtt.service
usr/lib/systemd/system/brightness-restore@.service
usr/lib/tmpfiles.d/brightness.conf
usr/lib/sysusers.d/brightness.conf
usr/lib/udev/rules.d/70-brightness.rules
usr/share/dbus-1/system.d/org.brightness.Idle1.conf
LIST
}

# The window: brightness.
window_files() {
    cat <<'LIST'
usr/bin/brightness
usr/share/applications/brightness.desktop
usr/share/icons/hicolor/128x128/apps/brightness.png
usr/share/icons/hicolor/16x16/apps/brightness.png
usr/share/icons/hicolor/22x22/apps/brightness.png
usr/share/icons/hicolor/24x24/apps/brightness.png
usr/share/icons/hicolor/256x256/apps/brightness.png
usr/share/icons/hicolor/32x32/apps/brightness.png
usr/share/icons/hicolor/48x48/apps/brightness.png
usr/share/icons/hicolor/64x64/apps/brightness.png
LIST
}

# same_list NAME EXPECTED_FILE ACTUAL_FILE: fails with a diff when the two
# sorted lists differ.
same_list() {
    if ! diff -u "$2" "$3" >&2; then
        fail "$1: file list differs (- expected, + found)"
    fi
}

# bytes FILE OFFSET COUNT: the bytes as decimal numbers, one blank apart.
bytes() {
    od -An -tu1 -j "$2" -N "$3" "$1" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'
}

# be32 FILE OFFSET: a big-endian 32-bit number.
be32() {
    set -- $(bytes "$1" "$2" 4)
    echo $(( ($1 << 24) | ($2 << 16) | ($3 << 8) | $4 ))
}

# check_png_size FILE SIZE: a PNG of SIZE x SIZE pixels, 8-bit RGBA.
check_png_size() {
    sig=$(bytes "$1" 0 8)
    [ "$sig" = "137 80 78 71 13 10 26 10" ] || { fail "$1: not a PNG"; return; }
    w=$(be32 "$1" 16); h=$(be32 "$1" 20)
    [ "$w" = "$2" ] && [ "$h" = "$2" ] || fail "$1: ${w}x${h} pixels, expected ${2}x${2}"
    depth_type=$(bytes "$1" 24 2)
    [ "$depth_type" = "8 6" ] || fail "$1: bit depth and colour type $depth_type, expected 8-bit RGBA (8 6)"
}

# check_gzip_9n FILE: gzip data as gzip -9n writes it: no file name, no
# time stamp, maximum compression, and intact.
check_gzip_9n() {
    set -- "$1" $(bytes "$1" 0 10)
    file=$1; shift
    [ "$1 $2 $3" = "31 139 8" ] || { fail "$file: not gzip data"; return; }
    [ $(( $4 & 8 )) -eq 0 ] || fail "$file: carries a file name (gzip without -n)"
    [ "$5 $6 $7 $8" = "0 0 0 0" ] || fail "$file: carries a time stamp (gzip without -n)"
    [ "$9" = 2 ] || fail "$file: not compressed at the highest level (-9)"
    gzip -t "$file" || fail "$file: damaged"
}

# A stand-in for sudo, first on PATH, that runs nothing and logs each call
# to $FAKE_SUDO_LOG.
make_fake_sudo() {
    mkdir -p "$1"
    cat > "$1/sudo" <<'SH'
#!/bin/sh
echo "$*" >> "$FAKE_SUDO_LOG"
exit 0
SH
    chmod 755 "$1/sudo"
}

# lock_dist DIR: waits until no scripts/package.sh run or other package
# check is using dist/ (DIR, or DIR's parent when DIR is a suite's
# dist/SUITE), and holds it until the check ends.
lock_dist() {
    d=$1
    case $(basename "$d") in bookworm|trixie) d=$(dirname "$d") ;; esac
    mkdir -p "$d"
    exec 9> "$d/.lock"
    flock 9
}
