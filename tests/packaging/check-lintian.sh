#!/bin/sh
# lintian finds nothing in the source package nor in any binary package, at
# any level (errors, warnings, info, pedantic, experimental); its findings
# are printed.
# Usage: check-lintian.sh DIST_DIR VERSION
set -eu
dist=$1; version=$2
. "$(dirname "$0")/lib.sh"
lock_dist "$dist"

set --
for file in "$dist/brightness_$version.dsc" \
            "$dist"/brightness-tools_"${version}"_amd64.deb "$dist"/brightness_"${version}"_amd64.deb \
            "$dist"/brightness-tools_"${version}"_armhf.deb "$dist"/brightness_"${version}"_armhf.deb \
            "$dist"/brightness-tools_"${version}"_arm64.deb "$dist"/brightness_"${version}"_arm64.deb; do
    if [ -f "$file" ]; then set -- "$@" "$file"; else fail "$file is missing"; fi
done
echo "== lintian $*"
# One run for all: lintian's start-up is most of its time here. It says on
# standard error that it prefers not to run as root.
if out=$(lintian --display-info --display-experimental --pedantic --fail-on none "$@" 2>/dev/null); then
    if [ -n "$out" ]; then
        printf '%s\n' "$out"
        fail "lintian has findings"
    fi
else
    fail "lintian could not check the packages"
fi

finish
