#!/bin/sh
# Installs what is missing, builds, and runs a test suite; ends with CTest's
# summary and fails when any test fails.
#   scripts/test.sh [SUITE] [ctest arguments...]
#   (none), native  the whole suite, in build-tests
#   armhf           the armhf cross build's suite under qemu-arm, in build-armhf-tests
#   asan            the suite under AddressSanitizer and UBSan, in build-asan
#   tsan            the hot-plug monitor and window tests under ThreadSanitizer,
#                   in build-tsan
#   target          the armhf programs and package on a 32-bit ARM Linux guest
#                   under qemu-system-arm, with a real hidraw display made
#                   through uhid (tests/target); artifacts in
#                   build-armhf-tests/target. Further arguments name scenarios
#                   to run alone.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"

suite=native
case "${1:-}" in
    native|armhf|asan|tsan|target) suite=$1; shift ;;
esac

case $suite in
native)
    ensure_armhf_arch; ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $PACKAGING_PACKAGES
    build_native "$ROOT/build-tests" -DBRIGHTNESS_TESTS=ON
    cd "$ROOT/build-tests"
    ctest --output-on-failure --timeout 300 "$@"
    ;;
armhf)
    ensure_armhf_arch; ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $ARMHF_TEST_PACKAGES
    build_native "$ROOT/build-armhf-tests" -DBRIGHTNESS_TESTS=ON \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-armhf.cmake"
    cd "$ROOT/build-armhf-tests"
    ctest --output-on-failure --timeout 300 "$@"
    ;;
asan)
    ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $SANITIZER_PACKAGES
    build_native "$ROOT/build-asan" -DBRIGHTNESS_TESTS=ON -DBRIGHTNESS_SANITIZE=address,undefined
    cd "$ROOT/build-asan"
    # The package checks build and check release packages of their own,
    # which the native suite does already.
    ctest --output-on-failure --timeout 300 -LE packaging "$@"
    ;;
tsan)
    ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $SANITIZER_PACKAGES
    build_native "$ROOT/build-tsan" -DBRIGHTNESS_TESTS=ON -DBRIGHTNESS_SANITIZE=thread
    cd "$ROOT/build-tsan"
    # The tests where the monitor thread runs beside the window.
    ctest --output-on-failure --timeout 300 \
        -R '^(hotplug\.|window\.|display\.search$|display\.report$|e2e\.)' "$@"
    ;;
target)
    ensure_armhf_arch; ensure_packages $BUILD_PACKAGES $PACKAGING_PACKAGES $TARGET_PACKAGES
    # The armhf suite's build, when it is there: only the programs are needed.
    cmake -S "$ROOT" -B "$ROOT/build-armhf-tests" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIGHTNESS_TESTS=ON \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-armhf.cmake" >/dev/null
    cmake --build "$ROOT/build-armhf-tests" --parallel "$(nproc)" --target brightness brightness-ctl uhid-display
    "$ROOT/scripts/package.sh" >/dev/null
    version=$(sed -n 's/^project(brightness VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
    sh "$ROOT/tests/target/run.sh" "$ROOT/build-armhf-tests" \
        "$ROOT/dist/brightness_${version}_armhf.deb" "$ROOT/build-armhf-tests/target" "$@"
    ;;
esac
