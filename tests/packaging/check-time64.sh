#!/bin/sh
# 64-bit time on trixie armhf, and bookworm armhf's 32-bit time as the
# documents say (docs/development.md, "2038").
# - The programs of each suite's armhf packages call the C library's time
#   functions in the width expected: trixie's the 64-bit ones (__*64,
#   __*_time64), bookworm's the 32-bit ones.
# - In trixie's build chroot, with trixie's armhf build flags (dpkg-buildflags,
#   which must carry -D_TIME_BITS=64), the tests of the night, the sun and the
#   record are cross-built and run under qemu-arm; their rows past
#   2038-01-19 must run and pass, none skipped.
# Usage: check-time64.sh DIST_DIR VERSION SOURCE_DIR WORK_DIR
# VERSION is the release without the suite (1.1.0).
set -eu
dist=$(cd "$1" && pwd); upstream=$2; src=$(cd "$3" && pwd); work=$4
. "$(dirname "$0")/lib.sh"
ROOT=$src
. "$src/scripts/deps.sh"
. "$src/scripts/chroot.sh"
lock_dist "$dist"
rm -rf "$work"; mkdir -p "$work"
work=$(cd "$work" && pwd)

# The C library's time functions that take or give a time_t (or a struct
# holding one) by their 32-bit names.
time32='^(time|stat|stat64|fstat|fstat64|lstat|lstat64|fstatat|fstatat64|clock_gettime|clock_nanosleep|nanosleep|localtime_r|localtime|gmtime_r|mktime|timegm|utimensat|futimens|ppoll|pselect|select|timerfd_settime|timerfd_gettime)$'

# SUITE|WIDTH: the width that suite's armhf programs use.
while IFS='|' read -r suite width; do
    version="$upstream~deb$(suite_number "$suite")u1"
    n64=0
    for pkg in brightness-tools brightness; do
        deb="$dist/$suite/${pkg}_${version}_armhf.deb"
        [ -f "$deb" ] || { fail "$deb is missing"; continue; }
        tree="$work/$suite-$pkg"
        dpkg-deb -x "$deb" "$tree"
        for program in "$tree"/usr/bin/*; do
            name="$suite $(basename "$program")"
            readelf --dyn-syms -W "$program" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }' | sort -u > "$work/syms"
            old=$(grep -E "$time32" "$work/syms" | tr '\n' ' ')
            new=$(grep -E '^__.*(64|_time64)$' "$work/syms" | grep -E 'time|stat|clock|sleep|utimens|poll|select|timerfd|futimens' | tr '\n' ' ')
            [ -z "$new" ] || n64=$((n64 + 1))
            case $width in
            64) [ -z "$old" ] || fail "$name calls 32-bit time functions: $old" ;;
            32) [ -z "$new" ] || fail "$name calls 64-bit time functions: $new" ;;
            esac
            echo "$name: 32-bit: ${old:-none}; 64-bit: ${new:-none}"
        done
    done
    [ "$width" = 32 ] || [ "$n64" -gt 0 ] || fail "$suite: no program calls a 64-bit time function"
done <<'TABLE'
trixie|64
bookworm|32
TABLE

# The tests past 2038 of trixie's armhf build, under qemu-arm.
tarball=$(build_chroot trixie) || { fail "no trixie build chroot"; finish; }
mkdir -p "$work/chroot"
tar -C "$src" --exclude=./.git --exclude='./build*' --exclude=./dist --exclude='./obj-*' -cf - . \
    | { mkdir -p "$work/chroot/src" && tar -xf - -C "$work/chroot/src"; }
if ! in_chroot "$tarball" "$work/chroot" "$(nproc)" > "$work/chroot.log" 2>&1 <<'CHROOT'
set -eu
jobs=$1
eval "$(DEB_HOST_ARCH=armhf dpkg-buildflags --export=sh)"
case " $CPPFLAGS $CFLAGS " in
    *" -D_TIME_BITS=64 "*) echo "dpkg-buildflags for armhf: -D_TIME_BITS=64" ;;
    *) echo "FAIL: trixie's armhf build flags lack -D_TIME_BITS=64: $CPPFLAGS $CFLAGS"; exit 1 ;;
esac
# CMake reads CFLAGS and CXXFLAGS, not CPPFLAGS.
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS" LDFLAGS
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=/build
cmake -S /build/src -B /build/armhf -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIGHTNESS_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE=/build/src/cmake/toolchain-armhf.cmake > /build/configure.log
cmake --build /build/armhf --parallel "$jobs" --target tst_idle_night tst_control_store > /build/build.log
status=0
for t in idle/tst_idle_night control/tst_control_store; do
    qemu-arm "/build/armhf/tests/$t" > "/build/$(basename "$t").out" 2>&1 || status=1
    cat "/build/$(basename "$t").out"
done
exit $status
CHROOT
then
    tail -n 40 "$work/chroot.log" >&2
    fail "trixie armhf: the tests failed under qemu-arm (log: $work/chroot.log)"
fi
grep -E '^(PASS|FAIL|SKIP|Totals)' "$work/chroot.log" | grep -E '2038|2040|Totals|stampedRecord' || true
ran=$(grep -cE '^PASS   : tst_(Night|Store)::[a-zA-Z]+\((after 2038|the second after it|2040-06-21|2106)' "$work/chroot.log" || true)
[ "$ran" -eq 10 ] || fail "trixie armhf: $ran of the 10 rows past 2038 passed"
! grep -q '^SKIP' "$work/chroot.log" || fail "trixie armhf: rows skipped: $(grep '^SKIP' "$work/chroot.log")"

finish
