#!/bin/sh
# Builds the Debian packages of brightness from debian/ as Debian builds
# them: in a clean chroot of each suite made by mmdebstrap (nothing is
# installed on this machine for a build), with dpkg-buildpackage, this
# machine's architecture natively and the others as cross builds (-a ARCH).
#   scripts/package.sh [-s SUITE]... [ARCH...]
#     SUITE: bookworm or trixie (default: both)
#     ARCH:  default amd64 (this machine), armhf, arm64
# The version carries the suite: VERSION~deb12u1 for bookworm and
# VERSION~deb13u1 for trixie, VERSION being debian/changelog's, so that an
# upgrade from bookworm to trixie installs the trixie package; the entry that
# says so is written into the build's copy of debian/changelog only.
# Leaves in dist/SUITE/ the source package and, for each ARCH,
#   brightness_<version>.dsc  brightness_<version>.tar.xz
#   brightness-tools_<version>_<ARCH>.deb  (without Qt)
#   brightness_<version>_<ARCH>.deb        (the window)
# and prints their paths. Packages that the same tree made in the same
# chroot are kept (dist/SUITE/.built). The chroots are cached as tarballs in
# $BRIGHTNESS_CACHE (/var/cache/brightness for root, else ~/.cache/brightness)
# while the suite's package lists stay the same, and the compiler cache
# with them; build trees and logs: build-deb/SUITE.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"
. "$ROOT/scripts/chroot.sh"

usage() { echo "usage: $0 [-s SUITE]... [ARCH...]" >&2; exit 2; }
suites=""
while getopts s: opt; do
    case $opt in
    s) suites="$suites $OPTARG" ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
suites=${suites:-$PACKAGE_SUITES}
native=$(dpkg --print-architecture)
arches=${*:-$PACKAGE_ARCHES}
for suite in $suites; do suite_number "$suite" >/dev/null || usage; done
ensure_packages $CHROOT_PACKAGES

upstream=$(sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' "$ROOT/debian/changelog")

# tree_tar [TAR OPTION...]: the source tree without builds, packages and VCS
# data, as a tar stream.
tree_tar() {
    tar -C "$ROOT" --exclude=./.git --exclude='./build*' --exclude=./dist --exclude='./obj-*' \
        --exclude=./debian/tmp --exclude=./debian/.debhelper --exclude=./debian/files \
        --exclude='./debian/brightness*/' --exclude='./debian/*.substvars' --exclude='./debian/*debhelper*' \
        "$@" -cf - .
}

# copy_source DIR: the source tree into DIR.
copy_source() {
    rm -rf "$1"
    mkdir -p "$1"
    tree_tar | tar -xf - -C "$1"
}

# The tree's contents, whatever their files' times.
tree_key=$(tree_tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 | sha256sum | cut -c1-16)

mkdir -p "$ROOT/dist"
# One run at a time, and none while the package checks read dist/.
exec 9> "$ROOT/dist/.lock"
flock 9

# Each suite's chroot that is missing is made at once, beside the other's:
# making one is mostly a wait on the mirror.
set -- $suites
if [ $# -gt 1 ]; then
    for suite in $suites; do build_chroot "$suite" >/dev/null & done
    wait
fi
for suite in $suites; do
    version="$upstream~deb$(suite_number "$suite")u1"
    tarball=$(build_chroot "$suite")
    out="$ROOT/dist/$suite"
    # A package built from this tree in this chroot is current: a second
    # run (the guest suite's after the package checks) keeps it.
    stamp="$out/.built"
    key="$tree_key $(basename "$tarball")"
    todo=""
    for arch in $arches; do
        if grep -qxF "$arch $key" "$stamp" 2>/dev/null && [ -f "$out/brightness_${version}_$arch.deb" ] \
            && [ -f "$out/brightness-tools_${version}_$arch.deb" ] && [ -f "$out/brightness_$version.dsc" ]; then
            echo "package.sh: $suite $arch: current" >&2
        else
            todo="$todo $arch"
        fi
    done
    if [ -z "$todo" ]; then
        for f in "$out/brightness_$version.dsc" "$out/brightness_$version.tar.xz"; do echo "$f"; done
        for arch in $arches; do echo "$out/brightness-tools_${version}_$arch.deb"; echo "$out/brightness_${version}_$arch.deb"; done
        continue
    fi
    work="$ROOT/build-deb/$suite"
    rm -rf "$work"
    copy_source "$work/src/brightness-$version"
    # In the chroot: the suite's changelog entry, the source package, and
    # from it each architecture's binary packages.
    if ! in_chroot "$tarball" "$work" "$version" "$suite" "$(nproc)" $todo > "$work/build.log" 2>&1 <<'BUILD'
set -eu
version=$1; suite=$2; jobs=$3; shift 3
cd /build/src
changelog=brightness-$version/debian/changelog
# A second after the release's own entry: later, as an entry must be, and
# the same in every build of the tree.
date=$(date -R -u -d "@$(( $(dpkg-parsechangelog -l "$changelog" -S Timestamp) + 1 ))")
{
    printf 'brightness (%s) %s; urgency=medium\n\n  * Built for Debian %s.\n\n -- %s  %s\n\n' \
        "$version" "$suite" "$suite" "$(dpkg-parsechangelog -l "$changelog" -S Maintainer)" "$date"
    cat "$changelog"
} > changelog.new
mv changelog.new "$changelog"
dpkg-source -b "brightness-$version"
native=$(dpkg --print-architecture)
for arch; do
    mkdir -p "/build/$arch"
    cd "/build/$arch"
    dpkg-source -x "/build/src/brightness_$version.dsc" src
    cd src
    cross=""
    [ "$arch" = "$native" ] || cross="-a$arch"
    # Debug symbols stay out of the repository; the test suite runs through
    # scripts/test.sh.
    DEB_BUILD_OPTIONS="noautodbgsym nocheck parallel=$jobs" CCACHE_BASEDIR=/build \
        CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache \
        dpkg-buildpackage -b -us -uc $cross
done
BUILD
    then
        tail -n 60 "$work/build.log" >&2
        echo "package.sh: failed: the $suite build (log: $work/build.log)" >&2
        exit 1
    fi
    mkdir -p "$out"
    rm -f "$out"/brightness_*.dsc "$out"/brightness_*.tar.*
    for f in "$work/src/brightness_$version.dsc" "$work/src/brightness_$version.tar.xz"; do
        cp "$f" "$out/"
        echo "$out/$(basename "$f")"
    done
    for arch in $arches; do
        case " $todo " in
        *" $arch "*)
            rm -f "$out"/brightness*_"$arch".deb
            grep -v "^$arch " "$stamp" > "$stamp.new" 2>/dev/null || true
            for pkg in brightness-tools brightness; do
                deb="$work/$arch/${pkg}_${version}_$arch.deb"
                [ -f "$deb" ] || { echo "package.sh: no $deb was made" >&2; exit 1; }
                cp "$deb" "$out/"
            done
            echo "$arch $key" >> "$stamp.new"
            mv "$stamp.new" "$stamp" ;;
        esac
        echo "$out/brightness-tools_${version}_$arch.deb"
        echo "$out/brightness_${version}_$arch.deb"
    done
done
