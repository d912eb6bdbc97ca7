#!/bin/sh
# Installs what is missing, builds, and starts brightness with the given
# arguments (e.g. -b 5).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"

ensure_packages $BUILD_PACKAGES
build_native "$ROOT/build" -DBRIGHTNESS_TESTS=OFF

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "run.sh: no display server reachable; starting brightness under Xvfb" >&2
    ensure_packages xvfb xauth
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$ROOT/build/src/brightness" "$@"
fi
exec "$ROOT/build/src/brightness" "$@"
