#!/bin/sh
# Builds the Debian packages of brightness from debian/ with dpkg-buildpackage,
# as a maintainer would, each from a clean copy of this source tree: this
# machine's architecture natively, the others as cross builds (-a ARCH).
#   scripts/package.sh [ARCH...]    default: amd64 (this machine), armhf, arm64
# Leaves in dist/ the source package and, for each ARCH,
#   dist/brightness_<version>.dsc  dist/brightness_<version>.tar.xz
#   dist/brightness-tools_<version>_<ARCH>.deb  (without Qt)
#   dist/brightness_<version>_<ARCH>.deb        (the window)
# and prints their paths. Installs what is missing first (the Build-Depends
# through apt-get build-dep). Build trees and logs: build-deb/<ARCH>.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"

native=$(dpkg --print-architecture)
arches=${*:-$PACKAGE_ARCHES}
version=$(dpkg-parsechangelog -l "$ROOT/debian/changelog" -S Version)
ensure_packages $DEB_BUILD_PACKAGES
for arch in $arches; do ensure_build_deps "$arch"; done

# copy_source DIR: the source tree without builds, packages and VCS data,
# into DIR/brightness-<version>.
copy_source() {
    rm -rf "$1"
    mkdir -p "$1/brightness-$version"
    tar -C "$ROOT" --exclude=./.git --exclude='./build*' --exclude=./dist --exclude='./obj-*' \
        --exclude=./debian/tmp --exclude=./debian/.debhelper --exclude=./debian/files \
        --exclude='./debian/brightness*/' --exclude='./debian/*.substvars' --exclude='./debian/*debhelper*' \
        -cf - . | tar -xf - -C "$1/brightness-$version"
}

# run LOG COMMAND...: the command's output goes to LOG, and its end to the
# terminal when it fails.
run() {
    log=$1; shift
    if ! "$@" > "$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "package.sh: failed: $* (log: $log)" >&2
        exit 1
    fi
}

mkdir -p "$ROOT/dist"
# One run at a time, and none while the package checks read dist/.
exec 9> "$ROOT/dist/.lock"
flock 9

work="$ROOT/build-deb/source"
copy_source "$work"
run "$work/build.log" sh -c "cd '$work' && dpkg-source -b brightness-$version"
rm -f "$ROOT"/dist/brightness_*.dsc "$ROOT"/dist/brightness_*.tar.*
cp "$work/brightness_$version.dsc" "$work/brightness_$version.tar.xz" "$ROOT/dist/"
echo "$ROOT/dist/brightness_$version.dsc"

for arch in $arches; do
    work="$ROOT/build-deb/$arch"
    copy_source "$work"
    cross=""
    [ "$arch" = "$native" ] || cross="-a$arch"
    # Debug symbols stay out of the repository; the test suite runs through
    # scripts/test.sh.
    run "$work/build.log" sh -c "cd '$work/brightness-$version' && \
        DEB_BUILD_OPTIONS='noautodbgsym nocheck parallel=$(nproc)' dpkg-buildpackage -b -us -uc $cross"
    rm -f "$ROOT"/dist/brightness*_"$arch".deb
    for pkg in brightness-tools brightness; do
        deb="$work/${pkg}_${version}_$arch.deb"
        [ -f "$deb" ] || { echo "package.sh: no $deb was made" >&2; exit 1; }
        cp "$deb" "$ROOT/dist/"
        echo "$ROOT/dist/$(basename "$deb")"
    done
done
