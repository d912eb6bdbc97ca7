#!/bin/sh
# Builds the Debian packages of brightness for amd64 (this machine) and for
# armhf (cross build), and leaves them in dist/:
#   dist/brightness_<version>_amd64.deb  dist/brightness_<version>_armhf.deb
# Installs what is missing first. Build trees: build-deb-amd64, build-deb-armhf.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"

ensure_armhf_arch
ensure_packages $BUILD_PACKAGES $PACKAGING_PACKAGES

# dpkg-buildflags maps the current directory out of the debug paths.
cd "$ROOT"

# build_deb ARCH [cmake options...]: configures, builds and packages one
# architecture with Debian's hardening flags for it.
build_deb() {
    arch=$1; shift
    dir="$ROOT/build-deb-$arch"
    (
        # dpkg-buildflags gives the flags for this architecture: hardening,
        # and 64-bit file offsets where the C library's default is 32-bit.
        # (dpkg-shlibdeps, which CPack runs, needs nothing of this: it picks
        # the libraries whose ELF ABI matches the program's.)
        export DEB_HOST_ARCH="$arch"
        export DEB_BUILD_MAINT_OPTIONS="hardening=+all future=+lfs"
        cppflags=$(dpkg-buildflags --get CPPFLAGS)
        cflags=$(dpkg-buildflags --get CFLAGS)
        cxxflags=$(dpkg-buildflags --get CXXFLAGS)
        ldflags=$(dpkg-buildflags --get LDFLAGS)
        cmake -S "$ROOT" -B "$dir" -DBRIGHTNESS_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_C_FLAGS="$cppflags $cflags" -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" \
            -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "$@" >/dev/null
        cmake --build "$dir" --parallel "$(nproc)"
        rm -f "$dir"/brightness_*.deb
        cd "$dir"
        cpack -G DEB
    )
    for deb in "$dir"/brightness_*_"$arch".deb; do
        [ -f "$deb" ] || { echo "package.sh: no $arch package was made" >&2; exit 1; }
        cp "$deb" "$ROOT/dist/"
        echo "$ROOT/dist/$(basename "$deb")"
    done
}

mkdir -p "$ROOT/dist"
# One run at a time, and none while the package checks read dist/.
exec 9> "$ROOT/dist/.lock"
flock 9
rm -f "$ROOT"/dist/brightness_*.deb
build_deb "$(dpkg --print-architecture)"
build_deb armhf -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-armhf.cmake"
