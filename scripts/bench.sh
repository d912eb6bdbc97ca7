#!/bin/sh
# Benchmarks: installs what is missing, builds the tool and the benchmarks
# in build-bench (Release), runs every benchmark and prints one table; see
# docs/performance.md for what each row measures.
#
#   scripts/bench.sh          the native build
#   scripts/bench.sh armhf    the armhf build (build-bench-armhf) under
#                             qemu-arm; ratios to the floors only
#
# As root everything runs in a private network and mount namespace: the
# hot-plug benchmark makes the kernel send uevents (through the namespace's
# own loopback device), and neither these nor other processes' uevents cross
# the namespace's border. Without root the hot-plug rows are left out.
# Nothing here fails on a figure; a benchmark that cannot run says so.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/deps.sh"

MODE=${1:-native}
case $MODE in
    native|armhf) ;;
    *) echo "usage: $0 [native|armhf]" >&2; exit 2 ;;
esac
B=$ROOT/build-bench
A=$B
[ "$MODE" = armhf ] && A=$ROOT/build-bench-armhf

say() { echo "bench.sh: $*" >&2; }

build() {
    # build DIR [CMAKE_ARG...]: the product and the benchmarks, Release;
    # the compiler's output is shown only when the build fails.
    dir=$1; shift
    say "building (Release) in $dir"
    log=$(mktemp)
    if ! { cmake -S "$ROOT/bench" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" &&
           cmake --build "$dir" --parallel "$(nproc)"; } >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
}

if [ "${BENCH_INSIDE:-}" = "" ]; then
    ensure_packages $BUILD_PACKAGES $BENCH_PACKAGES
    if [ "$MODE" = armhf ]; then
        ensure_armhf_arch
        ensure_packages $BENCH_ARMHF_PACKAGES
    fi
    build "$B"
    if [ "$MODE" = armhf ]; then
        build "$A" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-armhf.cmake"
    fi
    if [ "$(id -u)" -eq 0 ] && unshare --net --mount true 2>/dev/null; then
        exec env BENCH_INSIDE=1 unshare --net --mount --propagation private "$0" "$MODE"
    fi
    say "not root, or no unshare: no hot-plug rows, and uevents of other processes may reach the idle windows"
    BENCH_INSIDE=0
fi

if [ "$BENCH_INSIDE" = 1 ]; then
    # This namespace's own /sys/class/net (its loopback device only).
    mount -t sysfs sysfs /sys
    # A new network namespace starts with its loopback down; the MQTT
    # broker and its clients talk over it.
    ip link set lo up
fi

RUN=""
STRIP=strip
ARCH=$(dpkg --print-architecture)
EMULATOR_OPT=""
if [ "$MODE" = armhf ]; then
    RUN=qemu-arm
    STRIP=arm-linux-gnueabihf-strip
    ARCH=armhf
    EMULATOR_OPT="--emulator qemu-arm"
fi

WORK=$(mktemp -d /tmp/bench-run-XXXXXX)
RESULTS=$WORK/results.txt
XVFB_PID=""
cleanup() {
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

n=150
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
i=0
while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
export DISPLAY=":$n"

LOAD_START=$(cut -d' ' -f1 /proc/loadavg)
START=$(date +%s)

step() {
    # step NAME SECONDS COMMAND...: runs one benchmark, keeps its lines.
    name=$1; limit=$2; shift 2
    say "$name ..."
    if ! timeout "$limit" "$@" >>"$RESULTS" 2>"$WORK/$name.err"; then
        say "$name did not finish (see below)"
        cat "$WORK/$name.err" >&2
    fi
}

PROGRAMS="--program $A/product/src/brightness --minimal $A/bench_minimal --lookalike $A/bench_lookalike \
--preload $A/simhid/libsimhid_preload.so --sudo-dir $A/simhid/sudo-bin $EMULATOR_OPT"

if [ "$MODE" = armhf ]; then
    SEARCHES=6; STARTS=5; CTL_RUNS=30; MQTT_PANELS=10; MQTT_ROUNDS=10
else
    SEARCHES=15; STARTS=15; CTL_RUNS=200; MQTT_PANELS=50; MQTT_ROUNDS=40
fi
step send 300 $RUN "$A/bench_inproc" send 10000
step search 300 $RUN "$A/bench_inproc" search $SEARCHES
step notifier 60 $RUN "$A/bench_inproc" notifier 2000
if [ "$BENCH_INSIDE" = 1 ]; then
    step hotplug 300 $RUN "$A/bench_inproc" hotplug 16 10000
fi
# shellcheck disable=SC2086
step ctl_set 600 "$B/bench_ctl" set $CTL_RUNS --ctl "$A/bench_ctl_driver" --raw "$A/bench_rawset" \
    --preload "$A/simhid/libsimhid_preload.so" $EMULATOR_OPT
step ctl_fade 60 $RUN "$A/bench_ctl" fade 2000
# The broker and its clients are this machine's own programs; under armhf
# only the bridges are emulated.
step mqtt 600 "$B/bench_mqtt" fanout $MQTT_PANELS $MQTT_ROUNDS --bridge "$A/bench_mqtt_driver" \
    --preload "$A/simhid/libsimhid_preload.so"
# shellcheck disable=SC2086
step startup 600 "$B/bench_x" startup --runs $STARTS $PROGRAMS
# shellcheck disable=SC2086
step idle 300 "$B/bench_x" idle --seconds 30 $PROGRAMS

# Sizes: stripped copies; the resources are the files of the collection.
"$STRIP" -o "$WORK/brightness" "$A/product/src/brightness"
"$STRIP" -o "$WORK/minimal" "$A/bench_minimal"
echo "size.brightness $(stat -c %s "$WORK/brightness")" >>"$RESULTS"
echo "size.minimal $(stat -c %s "$WORK/minimal")" >>"$RESULTS"
"$STRIP" -o "$WORK/lookalike" "$A/bench_lookalike"
echo "size.lookalike $(stat -c %s "$WORK/lookalike")" >>"$RESULTS"
res=0
for f in $(sed -n 's:.*<file>\(.*\)</file>.*:\1:p' "$ROOT/resources/image.qrc"); do
    res=$((res + $(stat -c %s "$ROOT/resources/$f")))
done
echo "size.resources $res" >>"$RESULTS"

LOAD_END=$(cut -d' ' -f1 /proc/loadavg)
QT=$(dpkg-query -W -f='${Version}' "libqt5core5a:$ARCH" 2>/dev/null || echo "?")
CPU=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)

echo "brightness benchmarks, $MODE ($ARCH$( [ "$MODE" = armhf ] && echo ", qemu-arm $(qemu-arm --version | sed -n 's/.*version \([^ ]*\).*/\1/p')"), Release)"
echo "$(date -u '+%Y-%m-%d %H:%M UTC'); $CPU, $(nproc) cores; kernel $(uname -r); Qt $QT"
echo "1-minute load $LOAD_START at start, $LOAD_END at end; $(( $(date +%s) - START )) s of benchmarks; tool diagnostics to /dev/null"
echo
awk -v mode="$MODE" -f "$ROOT/bench/table.awk" "$RESULTS"
# The raw lines (per-thread idle figures, allocation stacks) stay beside the build.
cp "$RESULTS" "$A/bench-results.txt"
