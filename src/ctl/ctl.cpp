#include "ctl.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ostream>
#include <sstream>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol.h"
#include "store.h"

namespace ctl {

namespace {

const char program[] = "brightness-ctl";
// The same nodes, in the same order, as the window searches.
const int nodeCount = 10;

std::string usage(const Environment &env)
{
    return "Usage: brightness-ctl set STEP       set step 0 to 10 (STEP x 10 percent)\n"
           "       brightness-ctl set PERCENT%   set 0% to 100%\n"
           "       brightness-ctl set +N | N-    N steps up or down from the remembered level\n"
           "       brightness-ctl set +P% | P%-  P percent up or down from the remembered level\n"
           "       brightness-ctl get            show the remembered level of each display\n"
           "       brightness-ctl restore        set each display to its remembered level\n"
           "       brightness-ctl list           list the displays found\n"
           "       brightness-ctl -h | --help    show this help\n"
           "       brightness-ctl --version      show the version\n"
           "\n"
           "Options:\n"
           "  -d, --device DEV  only the display at DEV: /dev/hidrawN or its bus place\n"
           "  --min P%          floor for relative steps and restore (default "
        + std::to_string(defaultFloor) + "%)\n"
           "  --fade MS         set, restore: fade over MS milliseconds\n"
           "  -m, --machine     list, get: one line per display, fixed fields\n"
           "\n"
           "Every display on /dev/hidraw0 to /dev/hidraw9 with USB ID 0eef:0005,\n"
           "0483:5750 or 0484:5750 is set; no display server is needed. A display\n"
           "cannot be read back: the level last set here is remembered in\n"
        + env.stateDir + "/levels.\n"
           "\n"
           "Exit status: 0 done; 1 no display found, a display could not be set,\n"
           "or no level remembered; 2 bad command line or value (nothing is sent);\n"
           "3 access to a display was refused; 128+N a fade stopped by signal N.\n"
           "When several apply: 2 before 3 before 1.\n";
}

int rank(int status)
{
    // Stopped by a signal: the program's end must say so.
    if (status > 128)
        return 4;
    switch (status) {
    case Usage: return 3;
    case Permission: return 2;
    case Failure: return 1;
    default: return 0;
    }
}

std::ostream &say(const Environment &env)
{
    return *env.err << program << ": ";
}

// A display's node that would not open.
void noteOpenFailure(int node, int err, const Identity &named, const Environment &env, Scan *scan)
{
    say(env) << nodePath(node) << ": cannot open display " << formatIdentity(named) << ": "
             << std::strerror(err) << '\n';
    if (err == EACCES || err == EPERM) {
        scan->refused.push_back({node, -1, named, busPlace(env.sysfsRoot, node)});
        scan->status = worse(scan->status, Permission);
    } else {
        scan->status = worse(scan->status, Failure);
    }
}

void examine(int node, const std::string &place, const Environment &env, Scan *scan)
{
    const std::string path = nodePath(node);
    Identity named{};
    const bool namedDisplay = sysfsIdentity(env.sysfsRoot, node, &named)
        && isAcceptedDisplay(static_cast<short>(named.vendor), static_cast<short>(named.product));

    // No O_NONBLOCK: hidraw honours it only for reads, which this program
    // never makes; a write is bounded by the USB transfer's own timeout.
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        // Absent nodes and other people's devices are none of our business.
        if (namedDisplay)
            noteOpenFailure(node, errno, named, env, scan);
        return;
    }

    hidraw_devinfo info{};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0) {
        const int err = errno;
        close(fd);
        if (namedDisplay) {
            say(env) << path << ": cannot read identity: " << std::strerror(err) << '\n';
            scan->status = worse(scan->status, Failure);
        }
        return;
    }
    if (!isAcceptedDisplay(info.vendor, info.product)) {
        close(fd);
        return;
    }
    scan->usable.push_back({node, fd,
                            {static_cast<unsigned short>(info.vendor),
                             static_cast<unsigned short>(info.product)},
                            place});
}

class SystemClock : public Clock
{
public:
    long long now() override
    {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return t.tv_sec * 1000000000LL + t.tv_nsec;
    }
    void sleepUntil(long long when) override;
};

volatile std::sig_atomic_t caughtSignal = 0;

void SystemClock::sleepUntil(long long when)
{
    // A signal cuts a sleep short (EINTR); one that came just before the
    // sleep began is seen within a slice.
    const long long slice = 50 * 1000000LL;
    for (long long t = now(); t < when && !caughtSignal; t = now()) {
        const long long until = std::min(when, t + slice);
        const timespec ts{static_cast<time_t>(until / 1000000000LL), static_cast<long>(until % 1000000000LL)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
}

extern "C" void onStopSignal(int sig)
{
    caughtSignal = sig;
}

// While it lives, SIGINT and SIGTERM end a fade between two writes, so that
// the record keeps the last level that reached the display.
class StopSignals
{
public:
    StopSignals()
    {
        caughtSignal = 0;
        struct sigaction sa {};
        sa.sa_handler = onStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &oldInt);
        sigaction(SIGTERM, &sa, &oldTerm);
    }
    ~StopSignals()
    {
        sigaction(SIGINT, &oldInt, nullptr);
        sigaction(SIGTERM, &oldTerm, nullptr);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    struct sigaction oldInt, oldTerm;
};

Clock &clockOf(const Environment &env)
{
    static SystemClock system;
    return env.clock ? *env.clock : system;
}

struct Options {
    std::string command;
    std::vector<std::string> operands;
    Selection selection;
    bool selected = false;
    bool machine = false;
    int floor = defaultFloor;
    bool floorGiven = false;
    int fadeMs = 0;
    bool fadeGiven = false;
};

// One display a set or restore writes to.
struct Job {
    Display display;
    Value value;     // set: as given; restore: the remembered level
    int start = -1;  // the level a fade starts from; -1: set at once
    int target = 0;
    unsigned long serial = 0;  // the claim of a fade in progress
    bool claimed = false;
    bool active = true;
    int written = -1;          // the last level that reached the display
};

// The record as one command sees it: messages about it are given once.
class Memory
{
public:
    explicit Memory(const Environment &env)
        : env(env), store(env.stateDir)
    {
    }
    // Locks and reads; false (and said) when the record cannot be used.
    // fresh: the command writes absolute levels, a truth of its own, so a
    // record that cannot be read starts anew where that loses nothing else.
    bool open(bool fresh = false)
    {
        std::string why;
        if (broken)
            return false;
        if (!store.lock(&why)) {
            broken = true;
            problem = why;
            return false;
        }
        if (!store.read(&record, &why)) {
            if (!fresh || !replaceable(store.file())) {
                store.unlock();
                broken = true;
                problem = why;
                return false;
            }
            record = Record();
            replacing = why;
        }
        return true;
    }
    void put(const Entry &e)
    {
        putEntry(&record, e);
        dirty = true;
    }
    void rewrite() { dirty = true; }
    void close(bool durable)
    {
        std::string why;
        if (dirty && !broken && !store.write(record, durable, &why)) {
            broken = true;
            problem = why;
        } else if (dirty && !replacing.empty()) {
            *env.err << "brightness-ctl: " << replacing << "; replaced by a new record\n";
            replacing.clear();
        }
        dirty = false;
        store.unlock();
    }
    // Says once that levels were set but not remembered, and why.
    void complain()
    {
        if (broken && !problem.empty() && !complained) {
            complained = true;
            *env.err << "brightness-ctl: level set but not remembered: " << problem << '\n';
        }
    }
    const Entry *find(const Display &d) const
    {
        return d.place.empty() ? nullptr : findEntry(record, d.place, d.id.vendor, d.id.product);
    }
    bool usable() const { return !broken; }
    const std::string &why() const { return problem; }

private:
    // A file at the record's name, whatever it holds, gives way to the new
    // record's rename, and so does an empty directory, removed here. A link
    // or anything else was put there by someone and stays.
    static bool replaceable(const std::string &path)
    {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            return false;
        return S_ISREG(st.st_mode) || (S_ISDIR(st.st_mode) && rmdir(path.c_str()) == 0);
    }

    const Environment &env;
    Store store;
    Record record;
    std::string problem;
    std::string replacing;  // why the record on disk is being replaced
    bool broken = false;
    bool dirty = false;
    bool complained = false;
};

unsigned long nextSerial(const Entry *e)
{
    return e ? (e->serial + 1) & 0xFFFFFFFFul : 1;
}

int levelAt(const Job &job, int step, int steps)
{
    if (job.start < 0)
        return job.target;
    const int delta = job.target - job.start;
    // Rounded to the nearest, half away from the start.
    const int scaled = delta * step * 2 / steps;
    return job.start + (scaled + (scaled < 0 ? -1 : 1)) / 2;
}

// Writes one step to every job still active, with the record open.
int writeStep(std::vector<Job> &jobs, int step, int steps, Memory &memory, bool recordOpen, const Environment &env)
{
    int status = Ok;
    for (Job &job : jobs) {
        if (!job.active)
            continue;
        const Entry *e = recordOpen ? memory.find(job.display) : nullptr;
        if (job.claimed && recordOpen && (!e || e->serial != job.serial)) {
            // A newer request on this display took over: it has the last word.
            job.active = false;
            continue;
        }
        const int level = step == steps ? job.target : levelAt(job, step, steps);
        const int result = sendLevel({job.display}, static_cast<unsigned char>(level), env);
        if (result != Ok) {
            status = worse(status, result);
            job.active = false;
            continue;
        }
        job.written = level;
        if (recordOpen && !job.display.place.empty())
            memory.put({job.display.place, job.display.id.vendor, job.display.id.product, level,
                        job.claimed ? job.serial : nextSerial(e)});
        if (job.start < 0 || step == steps)
            job.active = false;
    }
    return status;
}

void complainIfWritten(Memory &memory, const std::vector<Job> &jobs)
{
    if (std::any_of(jobs.begin(), jobs.end(), [](const Job &j) { return j.written >= 0; }))
        memory.complain();
}

bool anyActive(const std::vector<Job> &jobs)
{
    return std::any_of(jobs.begin(), jobs.end(), [](const Job &j) { return j.active; });
}

// Plans each job's start and target from the record, then writes: at once,
// or as a fade of evenly spaced steps. Relative values need a remembered
// level; a display without one is refused.
int applyJobs(std::vector<Job> &jobs, bool restoring, const Options &opts, const Environment &env)
{
    if (jobs.empty())
        return Ok;
    int status = Ok;
    Memory memory(env);
    bool recordOpen = memory.open(!restoring && !jobs.front().value.relative);

    for (Job &job : jobs) {
        const Entry *e = recordOpen ? memory.find(job.display) : nullptr;
        const std::string name = nodePath(job.display.node) + ' ' + formatIdentity(job.display.id);
        if (job.value.relative && !e) {
            say(env) << name << ": no remembered level to change by " << formatValue(job.value)
                     << (recordOpen ? std::string() : " (" + memory.why() + ")")
                     << "; set an absolute value such as 50% first\n";
            status = worse(status, Failure);
            job.active = false;
            continue;
        }
        job.target = targetLevel(job.value, e ? e->level : 0, opts.floor);
        if (restoring)
            job.target = std::max(job.target, opts.floor);
        if (opts.fadeMs > 0)
            job.start = restoring ? std::min(opts.floor, job.target) : (e ? e->level : -1);
        if (job.display.place.empty())
            say(env) << nodePath(job.display.node)
                     << ": its level will not be remembered: sysfs shows no bus place for it\n";
    }

    int span = 0;
    for (const Job &job : jobs)
        if (job.active && job.start >= 0)
            span = std::max(span, std::abs(job.target - job.start));
    const int steps = opts.fadeMs > 0 && span > 0 ? std::max(1, std::min(span, opts.fadeMs / fadeIntervalMs)) : 1;

    if (steps == 1) {
        status = worse(status, writeStep(jobs, 1, 1, memory, recordOpen, env));
        if (recordOpen)
            memory.close(true);
        complainIfWritten(memory, jobs);
        return status;
    }

    // Claim the displays, so that a fade already running on one of them
    // stops before its next write. One with nothing to fade from is set now.
    for (Job &job : jobs) {
        if (job.active && job.start < 0) {
            std::vector<Job> one{job};
            status = worse(status, writeStep(one, 1, 1, memory, recordOpen, env));
            job = one[0];
        }
        const Entry *e = recordOpen ? memory.find(job.display) : nullptr;
        if (!job.active || !e)
            continue;
        job.serial = nextSerial(e);
        job.claimed = true;
        Entry claim = *e;
        claim.serial = job.serial;
        memory.put(claim);
    }
    if (recordOpen)
        memory.close(false);

    StopSignals stopSignals;
    Clock &clock = clockOf(env);
    const long long t0 = clock.now();
    const long long span_ns = opts.fadeMs * 1000000LL;
    for (int step = 1; step <= steps && anyActive(jobs); ++step) {
        clock.sleepUntil(t0 + span_ns * step / steps);
        if (caughtSignal)
            break;
        recordOpen = memory.open();
        status = worse(status, writeStep(jobs, step, steps, memory, recordOpen, env));
        if (recordOpen)
            memory.close(step == steps);
    }
    if (caughtSignal) {
        // What reached the display is in the record already; make it last.
        if (memory.open()) {
            memory.rewrite();
            memory.close(true);
        }
        for (const Job &job : jobs)
            if (job.written >= 0)
                say(env) << nodePath(job.display.node) << ": fade stopped at " << job.written << "%\n";
        status = 128 + caughtSignal;
    }
    complainIfWritten(memory, jobs);
    return status;
}

// True, after saying so, when nothing at all was found.
bool reportNoDisplay(const Scan &scan, const Options &opts, const Environment &env)
{
    if (!scan.usable.empty() || !scan.refused.empty())
        return false;
    // A display that failed in another way has been named already.
    if (scan.status != Ok)
        return true;
    if (!opts.selected)
        say(env) << "no display found on /dev/hidraw0 to /dev/hidraw9"
                    " (USB ID 0eef:0005, 0483:5750 or 0484:5750)\n";
    else if (opts.selection.node >= 0)
        say(env) << "no display found on " << nodePath(opts.selection.node) << '\n';
    else
        say(env) << "no display found at " << opts.selection.place << '\n';
    return true;
}

std::vector<Display> everyDisplay(const Scan &scan)
{
    std::vector<Display> all = scan.usable;
    all.insert(all.end(), scan.refused.begin(), scan.refused.end());
    std::sort(all.begin(), all.end(), [](const Display &a, const Display &b) { return a.node < b.node; });
    return all;
}

int commandSet(const Options &opts, const Environment &env)
{
    Value value;
    if (!parseValue(opts.operands[0], &value)) {
        say(env) << "invalid brightness '" << opts.operands[0]
                 << "': give a step from 0 to 10 or a percentage from 0% to 100%"
                    ", or a change such as +1, 1-, +10% or 10%-\n";
        return Usage;
    }
    Scan scan = findDisplays(env, opts.selection);
    int status = scan.status;
    if (reportNoDisplay(scan, opts, env))
        status = worse(status, Failure);
    std::vector<Job> jobs;
    for (const Display &d : scan.usable) {
        jobs.push_back(Job());
        jobs.back().display = d;
        jobs.back().value = value;
    }
    status = worse(status, applyJobs(jobs, false, opts, env));
    closeDisplays(&scan);
    return status;
}

// One try at restoring the displays not yet done.
int restoreOnce(const Record &record, std::vector<std::string> *done, const Options &opts, const Environment &env)
{
    Scan scan = findDisplays(env, opts.selection);
    int status = scan.status;
    if (reportNoDisplay(scan, opts, env))
        status = worse(status, Failure);
    std::vector<Job> jobs;
    for (const Display &d : scan.usable) {
        const Entry *e = d.place.empty() ? nullptr : findEntry(record, d.place, d.id.vendor, d.id.product);
        const std::string key = d.place + ' ' + formatIdentity(d.id);
        // Nothing remembered: nothing to do, and nothing wrong.
        if (!e || std::find(done->begin(), done->end(), key) != done->end())
            continue;
        jobs.push_back(Job());
        jobs.back().display = d;
        jobs.back().value.percent = true;
        jobs.back().value.amount = e->level;
    }
    status = worse(status, applyJobs(jobs, true, opts, env));
    for (const Job &job : jobs)
        if (job.written == job.target)
            done->push_back(job.display.place + ' ' + formatIdentity(job.display.id));
    closeDisplays(&scan);
    return status;
}

int commandRestore(const Options &opts, const Environment &env)
{
    Record record;
    std::string why;
    if (!Store(env.stateDir).read(&record, &why)) {
        say(env) << "cannot restore: " << why << '\n';
        return Failure;
    }
    if (record.entries.empty())
        return Ok;

    // A display that has just appeared may not take reports yet: try again
    // for a while, and report only what the last try met.
    Clock &clock = clockOf(env);
    const long long deadline = clock.now() + restoreWindowMs * 1000000LL;
    std::vector<std::string> done;
    for (;;) {
        std::ostringstream messages;
        Environment quiet = env;
        quiet.err = &messages;
        const int status = restoreOnce(record, &done, opts, quiet);
        const long long now = clock.now();
        if (status == Ok || status > 128 || now >= deadline) {
            *env.err << messages.str();
            return status;
        }
        clock.sleepUntil(std::min(deadline, now + restoreRetryMs * 1000000LL));
    }
}

int commandGet(const Options &opts, const Environment &env)
{
    Scan scan = findDisplays(env, opts.selection);
    int status = scan.status;
    if (reportNoDisplay(scan, opts, env))
        status = worse(status, Failure);
    const std::vector<Display> all = everyDisplay(scan);
    closeDisplays(&scan);

    Record record;
    std::string why;
    if (!all.empty() && !Store(env.stateDir).read(&record, &why)) {
        say(env) << "nothing remembered: " << why << '\n';
        return worse(status, Failure);
    }
    for (const Display &d : all) {
        const Entry *e = d.place.empty() ? nullptr : findEntry(record, d.place, d.id.vendor, d.id.product);
        const std::string name = nodePath(d.node) + ' ' + formatIdentity(d.id);
        if (opts.machine)
            *env.out << name << ' ' << (e ? std::to_string(e->level) : "-") << ' '
                     << (d.place.empty() ? "-" : d.place) << '\n';
        else if (e)
            *env.out << name << ": " << e->level
                     << "% remembered (the level last set here; the display cannot be read back)\n";
        if (!e) {
            say(env) << name << ": no level remembered"
                     << (d.place.empty() ? " (sysfs shows no bus place for it)" : "") << '\n';
            status = worse(status, Failure);
        }
    }
    return status;
}

int commandList(const Options &opts, const Environment &env)
{
    Scan scan = findDisplays(env, opts.selection);
    int status = scan.status;
    if (reportNoDisplay(scan, opts, env))
        status = worse(status, Failure);
    for (const Display &d : everyDisplay(scan)) {
        *env.out << nodePath(d.node) << ' ' << formatIdentity(d.id);
        if (opts.machine)
            *env.out << (d.fd < 0 ? " no-permission " : " ok ") << (d.place.empty() ? "-" : d.place);
        else if (d.fd < 0)
            *env.out << " no-permission";
        if (!opts.machine && !d.place.empty())
            *env.out << ' ' << d.place;
        *env.out << '\n';
    }
    closeDisplays(&scan);
    return status;
}

int usageError(const Environment &env, const std::string &problem)
{
    say(env) << problem << '\n' << usage(env);
    return Usage;
}

// Takes an option's value from "--name=value" or from the next argument.
bool optionValue(const std::vector<std::string> &args, std::size_t *i, const std::string &name,
                 std::string *value)
{
    const std::string &arg = args[*i];
    if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
        *value = arg.substr(name.size() + 1);
        return true;
    }
    if (arg != name)
        return false;
    if (*i + 1 >= args.size())
        throw std::string("'" + name + "' needs a value");
    *value = args[++*i];
    return true;
}

void parseOptions(const std::vector<std::string> &args, Options *opts)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        std::string value;
        const bool commandSlot = opts->command.empty();
        if (commandSlot && (arg == "-h" || arg == "--help" || arg == "--version")) {
            opts->command = arg;
        } else if (arg == "-m" || arg == "--machine") {
            opts->machine = true;
        } else if (optionValue(args, &i, "-d", &value) || optionValue(args, &i, "--device", &value)) {
            if (!parseSelection(value, &opts->selection))
                throw std::string("invalid device '" + value + "': give /dev/hidraw0 to /dev/hidraw9"
                                  " or a bus place as 'list' shows it");
            opts->selected = true;
        } else if (optionValue(args, &i, "--min", &value)) {
            if (!parseFloor(value, &opts->floor))
                throw std::string("invalid floor '" + value + "': give a percentage from 0% to 100%");
            opts->floorGiven = true;
        } else if (optionValue(args, &i, "--fade", &value)) {
            unsigned long ms = 0;
            if (value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos
                || (ms = std::strtoul(value.c_str(), nullptr, 10)) > 600000)
                throw std::string("invalid fade '" + value + "': give milliseconds from 0 to 600000");
            opts->fadeMs = static_cast<int>(ms);
            opts->fadeGiven = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            if (arg.find_first_of("0123456789") == 1)
                throw std::string("unknown option '" + arg + "' (to lower the level, put the sign after: "
                                  + arg.substr(1) + "-)");
            throw std::string("unknown option '" + arg + "'");
        } else if (commandSlot) {
            opts->command = arg;
        } else {
            opts->operands.push_back(arg);
        }
    }
}

int dispatch(const std::vector<std::string> &args, const Environment &env)
{
    Options opts;
    try {
        parseOptions(args, &opts);
    } catch (const std::string &problem) {
        return usageError(env, problem);
    }
    const std::string &command = opts.command;
    if (command.empty())
        return usageError(env, "no command given");
    std::size_t wanted;
    if (command == "set")
        wanted = 1;
    else if (command == "list" || command == "get" || command == "restore" || command == "-h"
             || command == "--help" || command == "--version")
        wanted = 0;
    else
        return usageError(env, "unknown command '" + command + "'");
    if (opts.operands.size() < wanted)
        return usageError(env, "'" + command + "' needs a value");
    if (opts.operands.size() > wanted)
        return usageError(env, "unexpected argument '" + opts.operands[wanted] + "'");

    const bool setting = command == "set" || command == "restore";
    const bool reading = command == "list" || command == "get";
    if (opts.machine && !reading)
        return usageError(env, "'--machine' applies to 'list' and 'get' only");
    if ((opts.fadeGiven || opts.floorGiven) && !setting)
        return usageError(env, std::string(opts.fadeGiven ? "'--fade'" : "'--min'")
                                   + " applies to 'set' and 'restore' only");
    if (opts.selected && !setting && !reading)
        return usageError(env, "'--device' does not apply to '" + command + "'");

    if (command == "set")
        return commandSet(opts, env);
    if (command == "restore")
        return commandRestore(opts, env);
    if (command == "get")
        return commandGet(opts, env);
    if (command == "list")
        return commandList(opts, env);
    if (command == "--version")
        *env.out << program << ' ' << BRIGHTNESS_VERSION << '\n';
    else
        *env.out << usage(env);
    return Ok;
}
} // namespace

int worse(int a, int b)
{
    return rank(b) > rank(a) ? b : a;
}

namespace {

bool allDigits(const std::string &text, std::size_t from, std::size_t to)
{
    return from < to && to <= text.size()
        && text.find_first_not_of("0123456789", from) >= to;
}

} // namespace

bool parseSelection(const std::string &text, Selection *selection)
{
    const std::string prefix = "/dev/hidraw";
    if (text.compare(0, prefix.size(), prefix) == 0) {
        if (text.size() != prefix.size() + 1 || !allDigits(text, prefix.size(), text.size()))
            return false;
        *selection = Selection();
        selection->node = text.back() - '0';
        return true;
    }
    if (!validPlace(text))
        return false;
    *selection = Selection();
    selection->place = text;
    return true;
}

std::string nodePath(int node)
{
    return "/dev/hidraw" + std::to_string(node);
}

std::string formatIdentity(const Identity &id)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
    return text;
}

Scan findDisplays(const Environment &env)
{
    return findDisplays(env, Selection());
}

Scan findDisplays(const Environment &env, const Selection &selection)
{
    Scan scan;
    for (int node = 0; node < nodeCount; ++node) {
        if (selection.node >= 0 && node != selection.node)
            continue;
        const std::string place = busPlace(env.sysfsRoot, node);
        if (!selection.place.empty() && place != selection.place)
            continue;
        examine(node, place, env, &scan);
    }
    if (!scan.refused.empty())
        say(env) << "the udev rule 70-brightness.rules, which the brightness package installs,"
                    " grants access to the user at the seat and to group plugdev; with it in"
                    " place, reconnect the display or log in again\n";
    return scan;
}

int sendLevel(const std::vector<Display> &displays, unsigned char level, const Environment &env)
{
    unsigned char report[reportSize] = {reportNumber};
    fillBrightnessReport(report, level);
    int status = Ok;
    for (const Display &d : displays) {
        const ssize_t written = write(d.fd, report, sizeof report);
        if (written == static_cast<ssize_t>(sizeof report))
            continue;
        if (written < 0)
            say(env) << nodePath(d.node) << ": write failed: " << std::strerror(errno) << '\n';
        else
            say(env) << nodePath(d.node) << ": write failed: " << written << " of "
                     << sizeof report << " bytes sent\n";
        status = Failure;
    }
    return status;
}

void closeDisplays(Scan *scan)
{
    // Nothing is buffered on a hidraw descriptor, so a failing close loses nothing.
    for (Display &d : scan->usable) {
        close(d.fd);
        d.fd = -1;
    }
    scan->usable.clear();
    scan->refused.clear();
}

int run(int argc, char **argv, const Environment &env)
{
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    int status = dispatch(args, env);
    if (!env.out->flush()) {
        say(env) << "cannot write to standard output\n";
        status = worse(status, Failure);
    }
    return status;
}

} // namespace ctl
