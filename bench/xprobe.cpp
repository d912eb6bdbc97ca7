// bench_x: the real program as a user starts it, watched from the X server.
//
//   bench_x startup [options]   process start -> its window mapped, and
//                               peak resident memory (VmHWM) once shown
//   bench_x idle    [options]   CPU time and wake-ups of the idle window
//
// Options: --program P --minimal P --preload LIB --sudo-dir D
//          [--lookalike P] [--emulator E] [--runs N] [--seconds S]
// With --emulator the programs run as "E -E LD_PRELOAD=LIB P ..." (qemu-arm).
//
// The clock starts just before posix_spawn and stops when the X server
// reports the MapNotify of a top-level window whose _NET_WM_PID is the
// child's (this process selects SubstructureNotify on the root window, so
// nothing is polled). The programs get the preloaded simulated display, the
// stand-in sudo, and standard output and error on /dev/null.
// Results go to standard output as "key value" lines.

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "percentile.h"

extern char **environ;

namespace {

struct Options {
    std::string program, minimal, lookalike, preload, sudoDir, emulator;
    int runs = 10;
    int seconds = 30;
};

struct Child {
    std::string name;
    pid_t pid = -1;
    std::string dir;
    Window window = 0;
    long long spawned = 0;
    long long mapped = 0;
};

Display *g_x = nullptr;
Atom g_netWmPid = None;

long long nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void out(const std::string &key, double value)
{
    printf("%s %.6g\n", key.c_str(), value);
}

[[noreturn]] void fail(const std::string &what)
{
    fprintf(stderr, "bench_x: %s\n", what.c_str());
    exit(2);
}

void writeFile(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        fail("cannot write " + path);
    fputs(text.c_str(), f);
    fclose(f);
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> lines;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return lines;
    char buf[4096];
    while (fgets(buf, sizeof buf, f)) {
        buf[strcspn(buf, "\n")] = '\0';
        lines.emplace_back(buf);
    }
    fclose(f);
    return lines;
}

Child spawnProgram(const Options &o, const std::string &name, const std::string &exe,
                   const std::vector<std::string> &args, const std::string &nodes)
{
    Child c;
    c.name = name;
    char dir[] = "/tmp/bench-x-XXXXXX";
    if (!mkdtemp(dir))
        fail("mkdtemp");
    c.dir = dir;
    writeFile(c.dir + "/nodes.conf", nodes);

    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string kv = *e;
        const std::string key = kv.substr(0, kv.find('='));
        if (key == "LD_PRELOAD" || key == "PATH" || key == "QT_QPA_PLATFORM"
            || key.rfind("SIMHID_", 0) == 0 || key.rfind("SIMSUDO_", 0) == 0)
            continue;
        env.push_back(kv);
    }
    const char *path = getenv("PATH");
    env.push_back("PATH=" + o.sudoDir + ":" + (path ? path : "/usr/bin:/bin"));
    env.push_back("QT_QPA_PLATFORM=xcb");
    env.push_back("SIMHID_CONFIG=" + c.dir + "/nodes.conf");
    env.push_back("SIMHID_LOG=" + c.dir + "/events.log");
    env.push_back("SIMSUDO_LOG=" + c.dir + "/sudo.log");

    std::vector<std::string> argv;
    if (o.emulator.empty()) {
        env.push_back("LD_PRELOAD=" + o.preload);
    } else {
        argv.push_back(o.emulator);
        argv.push_back("-E");
        argv.push_back("LD_PRELOAD=" + o.preload);
    }
    argv.push_back(exe);
    argv.insert(argv.end(), args.begin(), args.end());

    std::vector<char *> cargv, cenv;
    for (std::string &s : argv)
        cargv.push_back(&s[0]);
    cargv.push_back(nullptr);
    for (std::string &s : env)
        cenv.push_back(&s[0]);
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    c.spawned = nowNs();
    const int rc = posix_spawnp(&c.pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        fail("cannot start " + argv[0]);
    return c;
}

long windowPid(Window w)
{
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char *data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(g_x, w, g_netWmPid, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                           &after, &data) == Success && data && items == 1 && format == 32)
        pid = static_cast<long>(*reinterpret_cast<unsigned long *>(data));
    if (data)
        XFree(data);
    return pid;
}

// Handles X events until every child in cs has a mapped window or timeoutMs
// has passed. Returns false on timeout.
bool waitMapped(std::vector<Child *> cs, int timeoutMs)
{
    const long long deadline = nowNs() + timeoutMs * 1000000LL;
    auto pending = [&] {
        return std::any_of(cs.begin(), cs.end(), [](Child *c) { return c->mapped == 0; });
    };
    while (pending()) {
        while (XPending(g_x)) {
            XEvent e;
            XNextEvent(g_x, &e);
            if (e.type != MapNotify)
                continue;
            const long long at = nowNs();
            const long pid = windowPid(e.xmap.window);
            for (Child *c : cs) {
                if (c->mapped == 0 && pid == c->pid) {
                    c->mapped = at;
                    c->window = e.xmap.window;
                }
            }
        }
        if (!pending())
            break;
        const long long left = deadline - nowNs();
        if (left <= 0)
            return false;
        pollfd p{ConnectionNumber(g_x), POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long long>(left / 1000000 + 1, 100)));
    }
    return true;
}

void stop(Child &c)
{
    if (c.pid > 0) {
        kill(c.pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(c.pid, nullptr, WNOHANG) == c.pid) {
                c.pid = -1;
                break;
            }
            usleep(10000);
        }
        if (c.pid > 0) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, nullptr, 0);
            c.pid = -1;
        }
    }
    for (const char *f : {"/nodes.conf", "/events.log", "/sudo.log"})
        unlink((c.dir + f).c_str());
    rmdir(c.dir.c_str());
}

long statusKb(pid_t pid, const char *field)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    for (const std::string &line : readLines(path))
        if (line.rfind(field, 0) == 0)
            return atol(line.c_str() + strlen(field));
    return -1;
}

struct ThreadUsage {
    std::string name;      // comm
    double cpuNs = 0;      // schedstat run time
    double ticks = 0;      // utime + stime
    double switches = 0;   // voluntary + involuntary
};

struct Usage {
    std::map<std::string, ThreadUsage> threads;   // by thread id
    double childTicks = 0;                         // reaped children: cutime + cstime
};

Usage usage(pid_t pid)
{
    Usage u;
    char dirPath[64];
    snprintf(dirPath, sizeof dirPath, "/proc/%d/task", pid);
    DIR *d = opendir(dirPath);
    if (!d)
        return u;
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d);
        if (!e) {
            if (errno)
                fail(std::string("cannot read ") + dirPath + ": " + strerror(errno));
            break;
        }
        if (e->d_name[0] == '.')
            continue;
        const std::string task = std::string(dirPath) + "/" + e->d_name;
        ThreadUsage t;
        std::vector<std::string> l = readLines(task + "/comm");
        if (!l.empty())
            t.name = l[0];
        l = readLines(task + "/schedstat");
        if (!l.empty())
            t.cpuNs = atof(l[0].c_str());
        l = readLines(task + "/stat");
        if (!l.empty()) {
            const char *p = strrchr(l[0].c_str(), ')');
            unsigned long long ut = 0, st = 0;
            if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) == 2)
                t.ticks = static_cast<double>(ut + st);
        }
        for (const std::string &line : readLines(task + "/status")) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                t.switches += atof(line.c_str() + 24);
            else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                t.switches += atof(line.c_str() + 27);
        }
        u.threads[e->d_name] = t;
    }
    closedir(d);
    char statPath[64];
    snprintf(statPath, sizeof statPath, "/proc/%d/stat", pid);
    std::vector<std::string> l = readLines(statPath);
    if (!l.empty()) {
        const char *p = strrchr(l[0].c_str(), ')');
        unsigned long long cut = 0, cst = 0;
        if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %llu %llu", &cut, &cst) == 2)
            u.childTicks = static_cast<double>(cut + cst);
    }
    return u;
}

// What the threads did between two samples: threads alive at both count
// their difference, threads born in between count whole; what a thread
// that ended in between did is gone with it (ended says how many did).
struct Delta {
    ThreadUsage sum;
    int threads = 0;
    int ended = 0;
    std::string perThread;   // "name:cpu_ms:switches" for each thread
};

Delta delta(const Usage &before, const Usage &after)
{
    Delta d;
    for (const auto &kv : after.threads) {
        auto b = before.threads.find(kv.first);
        const ThreadUsage zero;
        const ThreadUsage &from = b == before.threads.end() ? zero : b->second;
        d.sum.cpuNs += kv.second.cpuNs - from.cpuNs;
        d.sum.ticks += kv.second.ticks - from.ticks;
        d.sum.switches += kv.second.switches - from.switches;
        ++d.threads;
        char part[160];
        snprintf(part, sizeof part, "%s%s:%.2f:%.0f", d.perThread.empty() ? "" : ",",
                 kv.second.name.c_str(), (kv.second.cpuNs - from.cpuNs) / 1e6,
                 kv.second.switches - from.switches);
        d.perThread += part;
    }
    for (const auto &kv : before.threads)
        d.ended += after.threads.count(kv.first) == 0;
    return d;
}

const char *kDisplayNode0 = "0 present 3 0483 5750\n";

int startup(const Options &o)
{
    struct Config {
        const char *name;
        const std::string *exe;
        const char *nodes;
        int sudoLines;
    };
    std::vector<Config> configs = {
        {"minimal", &o.minimal, "", 0},
        {"nodisplay", &o.program, "", 0},
        {"display", &o.program, kDisplayNode0, 1},
    };
    if (!o.lookalike.empty())
        configs.push_back({"lookalike", &o.lookalike, "", 0});
    std::map<std::string, std::vector<double>> times, hwm;
    bool ok = true;
    for (int run = -1; run < o.runs; ++run) {   // run -1 warms the caches
        for (const Config &cfg : configs) {
            Child c = spawnProgram(o, cfg.name, *cfg.exe, {}, cfg.nodes);
            if (!waitMapped({&c}, 60000))
                fail(std::string("no window from ") + cfg.name);
            // Peak resident memory once the window has painted and settled.
            usleep(300000);
            const long kb = statusKb(c.pid, "VmHWM:");
            const size_t sudo = readLines(c.dir + "/sudo.log").size();
            ok = ok && static_cast<int>(sudo) == cfg.sudoLines;
            stop(c);
            if (run >= 0) {
                times[cfg.name].push_back(static_cast<double>(c.mapped - c.spawned));
                hwm[cfg.name].push_back(static_cast<double>(kb));
            }
        }
    }
    out("startup.runs", o.runs);
    out("startup.verified", ok ? 1 : 0);
    for (const Config &cfg : configs) {
        const std::string k = std::string("startup.") + cfg.name;
        out(k + ".median_ns", percentile(times[cfg.name], 50));
        out(k + ".min_ns", percentile(times[cfg.name], 0.0001));
        out(k + ".max_ns", percentile(times[cfg.name], 100));
        out(k + ".vmhwm_kb", percentile(hwm[cfg.name], 50));
    }
    return 0;
}

int runQuiet(const std::vector<std::string> &args)
{
    std::vector<char *> cargv;
    std::vector<std::string> copy = args;
    for (std::string &s : copy)
        cargv.push_back(&s[0]);
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int rc = posix_spawnp(&pid, cargv[0], &fa, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int idle(const Options &o)
{
    // floor: one slider and a 1 s timer that does nothing; bare: no timer.
    Child floorTick = spawnProgram(o, "floor", o.minimal, {"--tick"}, "");
    Child bare = spawnProgram(o, "bare", o.minimal, {}, "");
    Child nodisplay = spawnProgram(o, "nodisplay", o.program, {}, "");
    Child ack = spawnProgram(o, "ack", o.program, {}, "0 present 3 0483 5750 ack\n");
    std::vector<Child *> all = {&floorTick, &bare, &nodisplay, &ack};
    if (!waitMapped(all, 60000))
        fail("idle: a window did not appear");

    // Twenty slider moves by keyboard: ten steps down from 10, ten back up.
    const std::string wid = std::to_string(ack.window);
    std::vector<std::string> keys = {"xdotool", "key", "--delay", "40"};
    for (int i = 0; i < 10; ++i)
        keys.push_back("Left");
    for (int i = 0; i < 10; ++i)
        keys.push_back("Right");
    bool moved = runQuiet({"xdotool", "windowfocus", "--sync", wid}) == 0 && runQuiet(keys) == 0;
    std::vector<std::string> writes;
    for (int i = 0; i < 200; ++i) {
        writes.clear();
        for (const std::string &l : readLines(ack.dir + "/events.log"))
            if (l.rfind("write ", 0) == 0)
                writes.push_back(l);
        if (writes.size() >= 20)
            break;
        usleep(50000);
    }
    int good = 0;
    for (const std::string &l : writes)
        good += l.find(" 38 1 04aa01000000") != std::string::npos;
    moved = moved && writes.size() == 20 && good == 20;
    out("idle.ack.writes", static_cast<double>(writes.size()));
    out("idle.ack.verified", moved ? 1 : 0);
    sleep(2);

    std::map<std::string, Usage> before, after;
    // Every search tries node 0 first, present or not.
    auto searches = [](const Child *c) {
        size_t n = 0;
        for (const std::string &l : readLines(c->dir + "/events.log"))
            n += l.rfind("open 0 ", 0) == 0;
        return n;
    };
    std::map<std::string, size_t> searchesBefore;
    for (Child *c : all) {
        before[c->name] = usage(c->pid);
        searchesBefore[c->name] = searches(c);
    }
    const long long t0 = nowNs();
    sleep(static_cast<unsigned>(o.seconds));
    const double secs = static_cast<double>(nowNs() - t0) / 1e9;
    for (Child *c : all)
        after[c->name] = usage(c->pid);
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    out("idle.seconds", secs);
    for (Child *c : all) {
        const Usage &a = after[c->name], &b = before[c->name];
        const Delta d = delta(b, a);
        const std::string k = "idle." + c->name;
        out(k + ".cpu_ms_per_s", d.sum.cpuNs / 1e6 / secs);
        out(k + ".cpu_ticks_ms_per_s", d.sum.ticks * 1000.0 / tick / secs);
        out(k + ".child_cpu_ms", (a.childTicks - b.childTicks) * 1000.0 / tick);
        out(k + ".wakeups_per_s", d.sum.switches / secs);
        out(k + ".threads", d.threads);
        out(k + ".threads_ended", d.ended);
        printf("%s.per_thread %s\n", k.c_str(), d.perThread.c_str());
        out(k + ".searches", static_cast<double>(searches(c) - searchesBefore[c->name]));
    }
    for (Child *c : all)
        stop(*c);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        fail("usage: bench_x startup|idle --program P --minimal P --preload LIB --sudo-dir D "
             "[--emulator E] [--runs N] [--seconds S]");
    Options o;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--program") o.program = v;
        else if (k == "--minimal") o.minimal = v;
        else if (k == "--lookalike") o.lookalike = v;
        else if (k == "--preload") o.preload = v;
        else if (k == "--sudo-dir") o.sudoDir = v;
        else if (k == "--emulator") o.emulator = v;
        else if (k == "--runs") o.runs = atoi(v.c_str());
        else if (k == "--seconds") o.seconds = atoi(v.c_str());
        else fail("unknown option " + k);
    }
    if (o.program.empty() || o.minimal.empty() || o.preload.empty() || o.sudoDir.empty())
        fail("--program, --minimal, --preload and --sudo-dir are needed");
    setvbuf(stdout, nullptr, _IOLBF, 0);
    g_x = XOpenDisplay(nullptr);
    if (!g_x)
        fail("cannot open the X display (DISPLAY)");
    g_netWmPid = XInternAtom(g_x, "_NET_WM_PID", False);
    XSelectInput(g_x, DefaultRootWindow(g_x), SubstructureNotifyMask);
    XSync(g_x, False);
    const std::string what = argv[1];
    if (what == "startup")
        return startup(o);
    if (what == "idle")
        return idle(o);
    fail("unknown benchmark " + what);
}
