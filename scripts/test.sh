#!/bin/sh
# Installs what is missing, builds, and runs a test suite; ends with CTest's
# summary and fails when any test fails.
#   scripts/test.sh [SUITE] [ctest arguments...]
#   (none), native  the whole suite, in build-tests
#   armhf           the armhf cross build's suite under qemu-arm, in build-armhf-tests
#   arm64           the arm64 cross build's suite under qemu-aarch64, in build-arm64-tests
#   asan            the suite under AddressSanitizer and UBSan, in build-asan
#   tsan            the hot-plug monitor and window tests under ThreadSanitizer,
#                   in build-tsan
#   fuzz [TARGET..] every libFuzzer target (or those named) for FUZZ_SECONDS
#                   (default 60) each, in build-fuzz; new corpus entries stay in build-fuzz/corpus,
#                   inputs that fail in build-fuzz/artifacts
#   target [SUITE]  the armhf packages on a 32-bit ARM Linux guest of Debian
#                   SUITE (trixie, bookworm; both when not named) under
#                   qemu-system-arm, with a real hidraw display made through
#                   uhid (tests/target); artifacts in
#                   build-armhf-tests/target/SUITE; the two suites' guests
#                   run side by side. Further arguments name scenarios to
#                   run alone.
# With BRIGHTNESS_BUILD_ONLY=1 a suite (but target) is built and not run:
# CI builds the suites beside the guests and runs them afterwards.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"

# Most tests wait on timers, fades and retries, so one more at a time than
# the cores keeps them busy; CTest reads this when no -j is given.
CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(( $(nproc) + 1 ))}
export CTEST_PARALLEL_LEVEL

# Ends a suite's run once it is built, when only that was asked.
built() { [ "${BRIGHTNESS_BUILD_ONLY:-0}" != 1 ] || exit 0; }

suite=native
case "${1:-}" in
    native|armhf|arm64|asan|tsan|fuzz|target) suite=$1; shift ;;
esac

case $suite in
native)
    # The package checks build in chroots (scripts/package.sh), which bring
    # their own compilers and libraries.
    ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $PACKAGING_PACKAGES $CHROOT_PACKAGES
    build_native "$ROOT/build-tests" -DBRIGHTNESS_TESTS=ON
    built
    cd "$ROOT/build-tests"
    ctest --output-on-failure --timeout 300 "$@"
    ;;
armhf)
    ensure_armhf_arch; ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $ARMHF_TEST_PACKAGES
    DEB_HOST_ARCH=armhf build_native "$ROOT/build-armhf-tests" -DBRIGHTNESS_TESTS=ON \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-armhf.cmake"
    built
    cd "$ROOT/build-armhf-tests"
    ctest --output-on-failure --timeout 300 "$@"
    ;;
arm64)
    ensure_arch arm64; ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $ARM64_TEST_PACKAGES
    DEB_HOST_ARCH=arm64 build_native "$ROOT/build-arm64-tests" -DBRIGHTNESS_TESTS=ON \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-arm64.cmake"
    built
    cd "$ROOT/build-arm64-tests"
    ctest --output-on-failure --timeout 300 "$@"
    ;;
asan)
    ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $SANITIZER_PACKAGES
    build_native "$ROOT/build-asan" -DBRIGHTNESS_TESTS=ON -DBRIGHTNESS_SANITIZE=address,undefined
    built
    cd "$ROOT/build-asan"
    # The package checks build and check release packages of their own,
    # which the native suite does already.
    ctest --output-on-failure --timeout 300 -LE packaging "$@"
    ;;
tsan)
    ensure_packages $BUILD_PACKAGES $TEST_PACKAGES $SANITIZER_PACKAGES
    build_native "$ROOT/build-tsan" -DBRIGHTNESS_TESTS=ON -DBRIGHTNESS_SANITIZE=thread \
        -DBRIGHTNESS_TEST_DIRS="hotplug;window;display;e2e"
    built
    cd "$ROOT/build-tsan"
    # The tests where the monitor thread runs beside the window.
    ctest --output-on-failure --timeout 300 \
        -R '^(hotplug\.|window\.|display\.search$|display\.report$|e2e\.)' "$@"
    ;;
fuzz)
    ensure_packages $BUILD_PACKAGES $FUZZ_PACKAGES
    dir=$ROOT/build-fuzz
    use_ccache
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIGHTNESS_FUZZ=ON \
        -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
    cmake --build "$dir" --parallel "$(nproc)" --target fuzzers
    built
    cd "$dir"
    seconds=${FUZZ_SECONDS:-60}
    failed=""
    targets=${*:-$(cd tests/fuzz && ls fuzz_* | sed 's/^fuzz_//')}
    for target in $targets; do
        exe=tests/fuzz/fuzz_$target
        mkdir -p "corpus/$target" "artifacts/$target" logs
        # The first directory takes what the run finds; the repository's
        # seeds and regression inputs are only read.
        set -- "corpus/$target" "$ROOT/tests/fuzz/corpus/$target"
        [ ! -d "$ROOT/tests/fuzz/regressions/$target" ] || set -- "$@" "$ROOT/tests/fuzz/regressions/$target"
        log=logs/$target.log
        if "$exe" -max_total_time="$seconds" -timeout=10 -close_fd_mask=1 \
                -artifact_prefix="artifacts/$target/" "$@" >"$log" 2>&1; then
            result=clean
        else
            result=FAILED
            failed="$failed $target"
            tail -n 60 "$log"
        fi
        # libFuzzer's closing line: "#RUNS DONE cov: N ft: N corp: ... exec/s: N ..."
        done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE ' "$log" | tail -n 1)
        printf '%-14s %-7s %s\n' "$target" "$result" \
            "$(echo "$done_line" | sed -E 's/^#([0-9]+)[[:space:]]+DONE +cov: ([0-9]+) ft: ([0-9]+).* exec\/s: ([0-9]+).*/runs \1  exec\/s \4  cov \2  ft \3/')"
    done
    [ -z "$failed" ] || { echo "fuzz findings in:$failed (inputs in $dir/artifacts)"; exit 1; }
    ;;
target)
    ensure_armhf_arch; ensure_packages $BUILD_PACKAGES $PACKAGING_PACKAGES $TARGET_PACKAGES
    suites="trixie bookworm"
    case "${1:-}" in trixie|bookworm) suites=$1; shift ;; esac
    # The armhf suite's build, when it is there: only the guest's test
    # programs are needed; the programs under test come from the packages.
    DEB_HOST_ARCH=armhf configure_native "$ROOT/build-armhf-tests" -DBRIGHTNESS_TESTS=ON \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-armhf.cmake"
    cmake --build "$ROOT/build-armhf-tests" --parallel "$(nproc)" --target uhid-display uhid-als bus-place uinput-person bare-wake
    # The suites' packages; trixie's upgrade scenario starts from bookworm's.
    "$ROOT/scripts/package.sh" -s bookworm $(case " $suites " in *" trixie "*) echo -s trixie ;; esac) armhf >/dev/null
    # The single package of 1.0.0, from which bookworm's upgrade scenario
    # upgrades: built once from that version's commit with its own
    # scripts/package.sh, and kept beside the chroots for every clone.
    . "$ROOT/scripts/chroot.sh"
    old=$BRIGHTNESS_CACHE/package-1.0.0
    case " $suites " in *" bookworm "*)
    if [ ! -f "$old/brightness_1.0.0_armhf.deb" ]; then
        rm -rf "$old"; mkdir -p "$old/src"
        git -C "$ROOT" archive d530a9fde65399e3f051034dcee52884459e97eb | tar -x -C "$old/src"
        "$old/src/scripts/package.sh" > "$old/build.log" 2>&1 || { tail -n 40 "$old/build.log"; exit 1; }
        cp "$old/src/dist/brightness_1.0.0_armhf.deb" "$old/"
    fi ;;
    esac
    # The guests side by side: each is one emulated core, and this machine
    # has two. Each one's output follows whole once both are done.
    status=0
    for s in $suites; do
        mkdir -p "$ROOT/build-armhf-tests/target/$s"
        rm -f "$ROOT/build-armhf-tests/target/$s.status"
        # Under set -e a failed run would end the group before its status.
        { rc=0
          sh "$ROOT/tests/target/run.sh" "$s" "$ROOT/build-armhf-tests" "$ROOT/dist" \
            "$old/brightness_1.0.0_armhf.deb" "$ROOT/build-armhf-tests/target/$s" "$@" \
            > "$ROOT/build-armhf-tests/target/$s.out" 2>&1 || rc=$?
          echo $rc > "$ROOT/build-armhf-tests/target/$s.status"; } &
    done
    wait
    for s in $suites; do
        cat "$ROOT/build-armhf-tests/target/$s.out"
        [ "$(cat "$ROOT/build-armhf-tests/target/$s.status")" = 0 ] || status=1
    done
    # What failed, again at the end, where a log's tail shows it.
    for s in $suites; do
        [ "$(cat "$ROOT/build-armhf-tests/target/$s.status")" = 0 ] && continue
        echo "=== $s: failed"
        grep -E '^(FAIL|SKIP) ' "$ROOT/build-armhf-tests/target/$s.out" | sed 's/^/    /' || true
        tail -n 3 "$ROOT/build-armhf-tests/target/$s.out" | sed 's/^/    /'
    done
    exit $status
    ;;
esac
