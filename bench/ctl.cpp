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

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clock.h"
#include "commands.h"
#include "ctl.h"
#include "displays.h"
#include "status.h"
#include "values.h"
#include "simhid.h"

extern char **environ;

namespace {

long long monotonicNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long percentile(std::vector<long long> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

bool writeFile(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// A sysfs tree with hidraw0 as a display on USB port 1, and an empty state
// directory, under a fresh temporary directory.
struct Scene {
    std::string root, sysfs, state;
    bool make()
    {
        char tmpl[] = "/tmp/bench-ctl-XXXXXX";
        if (!mkdtemp(tmpl))
            return false;
        root = tmpl;
        sysfs = root + "/sys";
        state = root + "/state";
        const std::string device = sysfs + "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:0483:5750.0001";
        const std::string klass = sysfs + "/class/hidraw/hidraw0";
        std::string cmd = "mkdir -p '" + device + "' '" + klass + "' '" + state + "' '" + sysfs + "/bus/pci'";
        if (std::system(cmd.c_str()) != 0)
            return false;
        return symlink(device.c_str(), (klass + "/device").c_str()) == 0
            && symlink((sysfs + "/bus/pci").c_str(),
                       (sysfs + "/devices/pci0000:00/0000:00:14.0/subsystem").c_str()) == 0
            && writeFile(device + "/uevent", "DRIVER=hid-generic\nHID_ID=0003:00000483:00005750\n")
            && writeFile(root + "/nodes.conf", "0 present 3 0483 5750\n");
    }
    ~Scene()
    {
        if (!root.empty())
            std::system(("rm -rf '" + root + "'").c_str());
    }
};

// Runs the command once; the time from spawn to its end, or -1.
long long timeRun(const std::vector<std::string> &command, const std::vector<std::string> &extraEnv)
{
    std::vector<char *> argv;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStore = extraEnv;
    for (char **e = environ; *e; ++e)
        envStore.push_back(*e);
    std::vector<char *> envp;
    for (std::string &e : envStore)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    // Their own messages are not what is measured.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const long long start = monotonicNs();
    pid_t pid;
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0)
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
    Scene scene;
    if (runs <= 0 || ctl.empty() || raw.empty() || preload.empty() || !scene.make()) {
        std::fprintf(stderr, "bench_ctl set: bad arguments or no temporary directory\n");
        return 2;
    }
    std::vector<std::string> env{"SIMHID_CONFIG=" + scene.root + "/nodes.conf"};
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
    ctlCommand.insert(ctlCommand.end(), {ctl, scene.sysfs, scene.state, "set", "50%"});
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
    std::printf("ctl.set_median_ns %lld\n", percentile(ctlTimes, 0.5));
    std::printf("ctl.set_p90_ns %lld\n", percentile(ctlTimes, 0.9));
    std::printf("ctl.raw_median_ns %lld\n", percentile(rawTimes, 0.5));
    std::printf("ctl.raw_p90_ns %lld\n", percentile(rawTimes, 0.9));
    return 0;
}

// The system's clock, noting when each sleep ends against when it should.
class WatchedClock : public ctl::Clock
{
public:
    long long now() override { return monotonicNs(); }
    void sleepUntil(long long when) override
    {
        const timespec t{static_cast<time_t>(when / 1000000000LL), static_cast<long>(when % 1000000000LL)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        planned.push_back(when);
        woke.push_back(monotonicNs());
    }
    std::vector<long long> planned, woke;
};

int benchFade(int argc, char **argv)
{
    const int ms = argc > 2 ? std::atoi(argv[2]) : 0;
    Scene scene;
    if (ms <= 0 || !scene.make()
        || !writeFile(scene.state + "/levels", "pci-0000:00:14.0-usb-0:1:1.0 0483:5750 0 1\n")) {
        std::fprintf(stderr, "bench_ctl fade: bad arguments or no temporary directory\n");
        return 2;
    }
    simhid::reset();
    simhid::present(0, 3, 0x0483, 0x5750);
    std::ostringstream out, err;
    WatchedClock clock;
    const ctl::Environment env{scene.sysfs, scene.state, &out, &err, &clock};
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
    std::printf("fade.late_median_ns %lld\n", percentile(late, 0.5));
    std::printf("fade.late_p99_ns %lld\n", percentile(late, 0.99));
    std::printf("fade.late_max_ns %lld\n", percentile(late, 1.0));
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
