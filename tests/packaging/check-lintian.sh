#!/bin/sh
# lintian finds nothing in the source package nor in any binary package, at
# any level (errors, warnings, info, pedantic, experimental); its findings
# are printed.
# Usage: check-lintian.sh DIST_DIR VERSION
set -eu
dist=$1; version=$2
. "$(dirname "$0")/lib.sh"
lock_dist "$dist"

for file in "$dist/brightness_$version.dsc" \
            "$dist"/brightness-tools_"${version}"_amd64.deb "$dist"/brightness_"${version}"_amd64.deb \
            "$dist"/brightness-tools_"${version}"_armhf.deb "$dist"/brightness_"${version}"_armhf.deb \
            "$dist"/brightness-tools_"${version}"_arm64.deb "$dist"/brightness_"${version}"_arm64.deb; do
    if [ ! -f "$file" ]; then fail "$file is missing"; continue; fi
    echo "== lintian $file"
    # lintian says on standard error that it prefers not to run as root.
    out=$(lintian --display-info --display-experimental --pedantic --fail-on none "$file" 2>/dev/null) \
        || { fail "lintian could not check $file"; continue; }
    if [ -n "$out" ]; then
        printf '%s\n' "$out"
        fail "lintian has findings for $file"
    fi
done

finish
