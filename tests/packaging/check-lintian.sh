#!/bin/sh
# lintian finds nothing in either package, at any level (errors, warnings,
# info, pedantic, experimental); its findings are printed.
# Usage: check-lintian.sh DIST_DIR VERSION
set -eu
dist=$1; version=$2
. "$(dirname "$0")/lib.sh"
lock_dist "$dist"

for arch in amd64 armhf; do
    deb="$dist/brightness_${version}_$arch.deb"
    if [ ! -f "$deb" ]; then fail "$deb is missing"; continue; fi
    echo "== lintian $deb"
    # lintian says on standard error that it prefers not to run as root.
    out=$(lintian --display-info --display-experimental --pedantic --fail-on none "$deb" 2>/dev/null) \
        || { fail "lintian could not check $deb"; continue; }
    if [ -n "$out" ]; then
        printf '%s\n' "$out"
        fail "lintian has findings for $deb"
    fi
done

finish
