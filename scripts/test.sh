#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite; ends
# with CTest's summary and fails when any test fails.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"

ensure_armhf_arch; ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $PACKAGING_PACKAGES
build_native "$ROOT/build-tests" -DBRIGHTNESS_TESTS=ON
cd "$ROOT/build-tests"
ctest --output-on-failure --timeout 300 "$@"
