# Sourced by the other scripts. ensure_packages installs, with apt-get, the
# Debian packages of its arguments that are not installed yet.

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# with_apt_lock COMMAND...: one at a time on this machine, for suites that
# set themselves up side by side (.ci/run): each then finds what the other
# installed, and dpkg's own lock is never contended.
with_apt_lock() {
    ( flock 8; "$@" ) 8> "${TMPDIR:-/tmp}/brightness-apt.lock"
}

ensure_packages() { with_apt_lock install_missing "$@"; }

install_missing() {
    missing=""
    native=$(dpkg --print-architecture)
    for pkg in "$@"; do
        # A name without ":ARCH" means this machine's architecture (or "all");
        # dpkg-query answers one line per installed architecture of the name.
        case $pkg in
            *:*) name=${pkg%%:*}; arch=${pkg#*:} ;;
            *) name=$pkg; arch=$native ;;
        esac
        dpkg-query -W -f='${db:Status-Status} ${Architecture}\n' "$name" 2>/dev/null \
            | grep -Eqx "installed ($arch|all)" || missing="$missing $pkg"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing" >&2
    # Other work on the machine may hold dpkg's lock: wait for it rather than fail.
    # An index that a mirror mid-sync cannot give leaves the others to
    # install from; the install says what is really missing.
    partial=""
    as_root apt-get -o DPkg::Lock::Timeout=900 update -qq || {
        partial=1; echo "deps.sh: apt-get update failed in part; going on" >&2; }
    # shellcheck disable=SC2086
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends $missing && return 0
    [ -n "$partial" ] || return 1
    # Without one architecture's security index, a library shared between
    # architectures has no version that both can install; the release's own
    # versions exist for all of them.
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$release" ] || return 1
    echo "deps.sh: installing $release's own versions, as one architecture's security index is missing" >&2
    # shellcheck disable=SC2086
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends -t "$release" $missing
}

# What building the program needs, and what its window needs to show its
# Chinese status texts as text rather than boxes; the MQTT bridge's client
# library, JSON library, and libsystemd (the daemons' loop, udev's monitor,
# the machine's identity); the compiler
# cache (use_ccache).
BUILD_PACKAGES="cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools fonts-wqy-microhei
    libmosquitto-dev nlohmann-json3-dev libsystemd-dev ccache"
# The armhf libraries of a cross build (nlohmann-json is headers only).
ARMHF_LIBRARY_PACKAGES="qtbase5-dev:armhf libmosquitto-dev:armhf libsystemd-dev:armhf"
# What the test suite needs on top: a real X server to drive the window, a
# real MQTT broker and clients for the bridge, a private D-Bus daemon for the
# bridge's link to brightness-idle, and the time zones in which
# brightness-idle's night is tested (the cross builds' suites read the same
# files under qemu-user).
TEST_PACKAGES="xvfb xauth xdotool x11-utils imagemagick procps mosquitto mosquitto-clients dbus-daemon tzdata"
# The armhf cross build with Qt's armhf libraries, and qemu-arm to run its
# tests here (scripts/test.sh armhf).
ARMHF_TEST_PACKAGES="crossbuild-essential-armhf $ARMHF_LIBRARY_PACKAGES qemu-user"
# The arm64 cross build and qemu-aarch64 (scripts/test.sh arm64).
ARM64_LIBRARY_PACKAGES="qtbase5-dev:arm64 libmosquitto-dev:arm64 libsystemd-dev:arm64"
ARM64_TEST_PACKAGES="crossbuild-essential-arm64 $ARM64_LIBRARY_PACKAGES qemu-user"
# The armhf guest (scripts/test.sh target): the system emulator, cpio for its
# initramfs, ImageMagick for its screenshots; its kernel and root file system
# are armhf packages that tests/target/build-guest.sh unpacks there.
TARGET_PACKAGES="qemu-system-arm cpio xz-utils zstd imagemagick crossbuild-essential-armhf $ARMHF_LIBRARY_PACKAGES qemu-user"
# The sanitizers' run-time libraries (scripts/test.sh asan, tsan).
SANITIZER_PACKAGES="libasan8 libubsan1 libtsan2"
# The fuzz targets: clang with libFuzzer and its sanitizer runtimes, and
# llvm-symbolizer for readable reports (scripts/test.sh fuzz).
FUZZ_PACKAGES="clang-14 libclang-rt-14-dev llvm-14"

package_flags() {
    # package_flags NAME: dpkg-buildflags' NAME (CFLAGS, LDFLAGS...) for
    # DEB_HOST_ARCH (default: this machine's) with debian/rules'
    # DEB_BUILD_MAINT_OPTIONS, as the package is built; on armhf that brings
    # -D_FILE_OFFSET_BITS=64. The path map is left out, so that debug
    # information keeps this tree's paths.
    (cd "$ROOT" && env DEB_HOST_ARCH="${DEB_HOST_ARCH:-$(dpkg --print-architecture)}" \
        DEB_BUILD_MAINT_OPTIONS="$(sed -n 's/^export DEB_BUILD_MAINT_OPTIONS *= *//p' debian/rules)" \
        dpkg-buildflags --get "$1") | sed 's/-ffile-prefix-map=[^ ]*//g'
}

use_ccache() {
    # The builds here compile through ccache, whose cache lives outside the
    # clone (beside the chroots), so that a new clone, CI's, and each
    # suite's build reuse what another compiled. Paths are taken relative
    # to the clone, and the directory is not hashed: debug information may
    # then name another clone's path.
    command -v ccache >/dev/null 2>&1 || return 0
    if [ -z "${CCACHE_DIR:-}" ]; then
        if [ -n "${BRIGHTNESS_CACHE:-}" ]; then CCACHE_DIR=$BRIGHTNESS_CACHE/ccache-host
        elif [ "$(id -u)" -eq 0 ]; then CCACHE_DIR=/var/cache/brightness/ccache-host
        else CCACHE_DIR=${XDG_CACHE_HOME:-$HOME/.cache}/brightness/ccache-host; fi
    fi
    CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=true
    CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_DIR CCACHE_BASEDIR CCACHE_NOHASHDIR CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
}

configure_native() {
    # $1: build directory; further arguments go to cmake. The compiler and
    # linker flags are the package's (package_flags).
    dir=$1; shift
    ensure_packages dpkg-dev
    use_ccache
    ldflags=$(package_flags LDFLAGS)
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS="$(package_flags CPPFLAGS) $(package_flags CFLAGS)" \
        -DCMAKE_CXX_FLAGS="$(package_flags CPPFLAGS) $(package_flags CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
        -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" "$@" >/dev/null
}

build_native() {
    # $1: build directory; further arguments go to cmake's configure step.
    configure_native "$@"
    cmake --build "$1" --parallel "$(nproc)"
}

# What checking the Debian packages needs here (they are built in chroots,
# scripts/package.sh): dpkg-dev and debhelper, the desktop entry, udev rule
# and man page checkers, lintian; apt-ftparchive and gpg for the signed
# repository (scripts/apt-repo.sh).
DEB_BUILD_PACKAGES="build-essential dpkg-dev debhelper"
PACKAGING_PACKAGES="$DEB_BUILD_PACKAGES desktop-file-utils lintian man-db udev file apt-utils gnupg gpgv"
# The architectures scripts/package.sh builds: this machine's, and the two of
# Raspberry Pi OS, cross-built.
PACKAGE_ARCHES="$(dpkg --print-architecture) armhf arm64"
# The Debian releases it builds for: Raspberry Pi OS's old and current one.
PACKAGE_SUITES="bookworm trixie"
# The clean chroots that the packages are built in and tried in
# (scripts/chroot.sh): mmdebstrap in its unshare mode, with newuidmap for a
# user who is not root.
CHROOT_PACKAGES="mmdebstrap uidmap"

ensure_arch() { with_apt_lock add_arch "$1"; }

add_arch() {
    # ensure_arch ARCH: dpkg may install packages of ARCH. The next
    # ensure_packages that finds something missing runs apt-get update, which
    # fetches that architecture's package lists.
    if [ "$1" != "$(dpkg --print-architecture)" ] && ! dpkg --print-foreign-architectures | grep -qx "$1"; then
        as_root dpkg --add-architecture "$1"
    fi
}
ensure_armhf_arch() { ensure_arch armhf; }

# What scripts/bench.sh needs on top of building: a private X server, xdotool
# to move the slider, Xlib headers for the start-up watcher, unshare for a
# private network namespace and ip to bring up its loopback, strip and
# uptime's load figures; the broker and its clients for the MQTT bridge's
# fan-out.
BENCH_PACKAGES="xvfb xauth xdotool libx11-dev util-linux iproute2 binutils procps mosquitto mosquitto-clients"
# And for `scripts/bench.sh armhf`: the cross toolchain, Qt's armhf
# libraries and user-mode emulation.
BENCH_ARMHF_PACKAGES="crossbuild-essential-armhf $ARMHF_LIBRARY_PACKAGES qemu-user"
