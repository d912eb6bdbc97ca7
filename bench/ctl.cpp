// brightness-ctl benchmarks; prints "key value" lines for table.awk.
//
//   bench_ctl set RUNS --ctl DRIVER --raw RAWSET --preload LIB [--emulator CMD]
//       `set 50%` end to end, process start to exit, against a plain C
//       program that opens the node, writes 38 bytes and exits; both with
//       the simulated display preloaded, taken in turns.
//   bench_ctl fade MS
//       A fade from 0% to 100% over MS ms in this process (the simulated
//       display linked in, the system's clock): the writes' rate and how
//       late each came against its plan.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "control/clock.h"
#include "ctl/ctl.h"
#include "percentile.h"
#include "spawn.h"
#include "simhid.h"
#include "sysfstree.h"


namespace {

long long monotonicNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// hidraw0 as a display on USB port 1, in sysfs and in the simulated
// display's table for a preloaded run.
bool stageDisplay(const testutil::SysfsTree &scene)
{
    return scene.ok() && scene.stagePlace(0, testutil::usbDevicePath(1))
        && scene.write("nodes.conf", "0 present 3 0483 5750\n");
}

// Runs the command once; the time from spawn to its end, or -1.
long long timeRun(const std::vector<std::string> &command, const std::vector<std::string> &extraEnv)
{
    const long long start = monotonicNs();
    const pid_t pid = spawnQuiet(command, extraEnv, "/dev/null");
    if (pid < 0)
        return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const long long took = monotonicNs() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -1;
}

int benchSet(int argc, char **argv)
{
    const int runs = std::atoi(argv[2]);
    std::string ctl, raw, preload, emulator;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        (opt == "--ctl" ? ctl : opt == "--raw" ? raw : opt == "--preload" ? preload : emulator) = argv[i + 1];
    }
    // Under /tmp, where a real state directory's flush costs what a disk's does.
    const testutil::SysfsTree scene("/tmp");
    if (runs <= 0 || ctl.empty() || raw.empty() || preload.empty() || !stageDisplay(scene)) {
        std::fprintf(stderr, "bench_ctl set: bad arguments or no temporary directory\n");
        return 2;
    }
    std::vector<std::string> env{"SIMHID_CONFIG=" + scene.root() + "/nodes.conf"};
    std::vector<std::string> prefix;
    if (emulator.empty()) {
        env.push_back("LD_PRELOAD=" + preload);
    } else {
        std::istringstream words(emulator);
        for (std::string w; words >> w;)
            prefix.push_back(w);
        env.push_back("QEMU_SET_ENV=LD_PRELOAD=" + preload);
    }
    std::vector<std::string> ctlCommand = prefix, rawCommand = prefix;
    ctlCommand.insert(ctlCommand.end(), {ctl, scene.path(), scene.stateDir(), "set", "50%"});
    rawCommand.insert(rawCommand.end(), {raw, "/dev/hidraw0"});

    std::vector<long long> ctlTimes, rawTimes;
    for (int i = 0; i < runs; ++i) {
        // In turns, so that a change of load weighs on both alike.
        const long long a = timeRun(ctlCommand, env);
        const long long b = timeRun(rawCommand, env);
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "bench_ctl set: a run failed\n");
            return 1;
        }
        ctlTimes.push_back(a);
        rawTimes.push_back(b);
    }
    std::printf("ctl.runs %d\n", runs);
    std::printf("ctl.set_median_ns %.0f\n", percentile(ctlTimes, 50));
    std::printf("ctl.set_p90_ns %.0f\n", percentile(ctlTimes, 90));
    std::printf("ctl.raw_median_ns %.0f\n", percentile(rawTimes, 50));
    std::printf("ctl.raw_p90_ns %.0f\n", percentile(rawTimes, 90));
    return 0;
}

// The system's clock, noting when each sleep ends against when it should.
class WatchedClock : public control::SystemClock
{
public:
    void sleepUntil(long long when) override
    {
        SystemClock::sleepUntil(when);
        planned.push_back(when);
        woke.push_back(now());
    }
    std::vector<long long> planned, woke;
};

int benchFade(int argc, char **argv)
{
    const int ms = argc > 2 ? std::atoi(argv[2]) : 0;
    const testutil::SysfsTree scene("/tmp");
    if (ms <= 0 || !stageDisplay(scene) || !scene.setRecord(testutil::placeOf(1) + " 0483:5750 0 1\n")) {
        std::fprintf(stderr, "bench_ctl fade: bad arguments or no temporary directory\n");
        return 2;
    }
    simhid::reset();
    simhid::present(0, 3, 0x0483, 0x5750);
    std::ostringstream out, err;
    WatchedClock clock;
    const control::Environment env{scene.path(), scene.stateDir(), &out, &err, &clock};
    const std::string fade = std::to_string(ms);
    const char *args[] = {"brightness-ctl", "set", "100%", "--fade", fade.c_str()};
    const long long start = monotonicNs();
    const int status = ctl::run(5, const_cast<char **>(args), env);
    const long long took = monotonicNs() - start;
    const std::size_t writes = simhid::writes().size();
    if (status != 0 || writes == 0 || clock.woke.size() != writes) {
        std::fprintf(stderr, "bench_ctl fade: status %d, %zu writes, %zu sleeps: %s", status, writes,
                     clock.woke.size(), err.str().c_str());
        return 1;
    }
    std::vector<long long> late;
    for (std::size_t i = 0; i < writes; ++i)
        late.push_back(clock.woke[i] - clock.planned[i]);
    const double seconds = static_cast<double>(took) / 1e9;
    std::printf("fade.ms %d\n", ms);
    std::printf("fade.writes %zu\n", writes);
    std::printf("fade.rate %.3f\n", static_cast<double>(writes) / seconds);
    std::printf("fade.planned_rate %.3f\n", static_cast<double>(writes) * 1000.0 / ms);
    std::printf("fade.late_median_ns %.0f\n", percentile(late, 50));
    std::printf("fade.late_p99_ns %.0f\n", percentile(late, 99));
    std::printf("fade.late_max_ns %.0f\n", percentile(late, 100));
    std::printf("fade.took_ns %lld\n", took);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "set" && argc > 2)
        return benchSet(argc, argv);
    if (mode == "fade")
        return benchFade(argc, argv);
    std::fprintf(stderr, "usage: bench_ctl set RUNS --ctl DRIVER --raw RAWSET --preload LIB [--emulator CMD]\n"
                         "       bench_ctl fade MS\n");
    return 2;
}
