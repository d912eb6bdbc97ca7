#include "watcher.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "status.h"

namespace idle {

namespace {

// After a wake, a grab lasts until every touch and key is up, and never
// longer than this: a device whose release got lost must not keep the
// input from everyone while the screen is lit.
const long long holdLimitNs = 10 * 1000000000LL;

const char recordName[] = "levels";

} // namespace

Watcher::Watcher(const Options &options, const ctl::Environment &env)
    : options(options), err(env.err), timing(options.plan, now()),
      screen([&] { ctl::Environment e = env; e.clock = this; return e; }(), options.selection, options.fadeMs),
      stateDir(env.stateDir)
{
}

Watcher::~Watcher()
{
    if (timer >= 0)
        close(timer);
    if (notify >= 0)
        close(notify);
    if (poller >= 0)
        close(poller);
}

long long Watcher::now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

bool Watcher::start(std::string *why)
{
    timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    poller = epoll_create1(EPOLL_CLOEXEC);
    if (timer < 0 || notify < 0 || poller < 0 || !watch(timer, false) || !watch(notify, false)) {
        *why = std::string("timer: ") + std::strerror(errno);
        return false;
    }
    // The record is replaced by rename, never written in place.
    if (inotify_add_watch(notify, stateDir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE) < 0)
        *err << "brightness-idle: " << stateDir << ": " << std::strerror(errno)
             << "; changes by others are not seen\n";
    // The monitor first, so that no device falls between it and the scan.
    if (!hotplug.open(why))
        return false;
    if (!watch(hotplug.fd(), false)) {
        *why = std::string("udev monitor: ") + std::strerror(errno);
        return false;
    }
    inputs.scan();
    // Stepped past before the call: a device that cannot be watched is removed.
    for (auto it = inputs.devices().begin(); it != inputs.devices().end();)
        watchInput(*it++);
    // Nothing is known yet, so a dark record counts as a change: after a
    // restart while the screen was off, a touch still wakes it.
    recordChanged(now());
    arm();
    return true;
}

int Watcher::run()
{
    while (!stopped)
        step(-1);
    return stopped;
}

void Watcher::sleepUntil(long long when)
{
    // Returns early once a touch woke the screen: the fade then sees that
    // its claim on the record is gone and stops.
    while (!wokeInside && now() < when && step(when)) {
    }
}

namespace {

// An epoll entry's data: the descriptor, and whether it is a device that
// tells of nothing but a person.
const std::uint64_t onlyPersonTag = 1ULL << 32;

int fdOf(const epoll_event &e)
{
    return static_cast<int>(e.data.u64 & 0xffffffffU);
}

} // namespace

bool Watcher::watch(int fd, bool onlyPerson)
{
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = static_cast<std::uint32_t>(fd) | (onlyPerson ? onlyPersonTag : 0);
    return epoll_ctl(poller, EPOLL_CTL_ADD, fd, &e) == 0;
}

void Watcher::watchInput(const InputDevice &device)
{
    // Unwatched, the device would never wake the screen: better closed and
    // said than kept in silence.
    if (!watch(device.fd, device.onlyPerson)) {
        *err << "brightness-idle: " << device.path << ": " << std::strerror(errno) << '\n';
        inputs.remove(device.path);
    }
}

// One wait and what it brought; false when a signal cut it short.
bool Watcher::step(long long until)
{
    int timeoutMs = -1;
    if (until >= 0) {
        // Rounded up: a fade's step is never early.
        const long long left = std::max(0LL, until - now());
        timeoutMs = static_cast<int>(std::min<long long>((left + 999999) / 1000000, 1 << 30));
    }
    epoll_event ready[16];
    const int n = epoll_wait(poller, ready, 16, timeoutMs);
    if (n < 0) {
        if (errno != EINTR) {
            // Nothing could be watched any more: better ended than blind.
            *err << "brightness-idle: poll: " << std::strerror(errno) << '\n';
            stopped = ctl::Failure;
        }
        return false;
    }
    // All such a device can send is someone's doing, so its being readable
    // is enough: the screen is lit before anything is read.
    bool someone = false;
    for (int i = 0; i < n && !someone && timing.stage() != Stage::Lit; ++i)
        someone = (ready[i].data.u64 & onlyPersonTag) && ready[i].events == EPOLLIN;
    if (someone)
        screen.light();
    const long long t = now();
    if (someone && timing.input(t) == Change::Wake)
        wake(t);
    bool timed = false, monitor = false, record = false;
    for (int i = 0; i < n; ++i) {
        const int fd = fdOf(ready[i]);
        timed = timed || fd == timer;
        monitor = monitor || fd == hotplug.fd();
        record = record || fd == notify;
    }
    // Inputs first: a wake is what someone waits for.
    inputsReady(ready, n, t);
    if (monitor)
        plugged();
    if (record && recordTouched() && !busy)
        recordChanged(t);
    if (timed) {
        std::uint64_t expiries;
        // Nothing to read (EAGAIN) when the timer was re-armed meanwhile.
        if (read(timer, &expiries, sizeof expiries) < 0 && errno != EAGAIN)
            *err << "brightness-idle: timer: " << std::strerror(errno) << '\n';
    }
    if (!busy) {
        const Change change = timing.expire(now());
        if (change != Change::None)
            darken(change);
    }
    releaseFree(now());
    if (!busy)
        arm();
    return true;
}

void Watcher::inputsReady(const epoll_event *ready, int n, long long t)
{
    std::vector<std::string> gone;
    for (InputDevice &d : inputs.devices()) {
        if (std::none_of(ready, ready + n, [&](const epoll_event &e) { return fdOf(e) == d.fd; }))
            continue;
        bool lost = false;
        if (Inputs::drain(d, &lost) && timing.input(t) == Change::Wake)
            wake(t);
        if (lost)
            gone.push_back(d.path);
    }
    for (const std::string &path : gone)
        inputs.remove(path);
}

void Watcher::plugged()
{
    bool added;
    std::string node;
    while (hotplug.next(&added, &node)) {
        if (!added) {
            inputs.remove(node);
            continue;
        }
        InputDevice *d = inputs.add(node);
        if (!d)
            continue;
        watchInput(*d);
        if (timing.stage() == Stage::Off)
            grabAll();
    }
}

// Drains the record's watch: true if the record itself was replaced.
bool Watcher::recordTouched()
{
    alignas(inotify_event) char buffer[4096];
    bool touched = false;
    ssize_t n;
    while ((n = read(notify, buffer, sizeof buffer)) > 0) {
        for (char *p = buffer; p < buffer + n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(p);
            touched = touched || (e->len && std::strcmp(e->name, recordName) == 0);
            p += sizeof *e + e->len;
        }
    }
    return touched;
}

void Watcher::recordChanged(long long t)
{
    Stage stage;
    if (!screen.changed(&stage))
        return;
    // Someone else set the screen: their level stands, the clock starts anew.
    timing.adopt(stage, t);
    if (stage == Stage::Lit)
        screen.forget();
    else
        screen.keep();
    if (stage == Stage::Off)
        grabAll();
    else
        letGo(t);
}

void Watcher::darken(Change change)
{
    busy = true;
    wokeInside = false;
    const int status = screen.darken(change == Change::Dim ? options.plan.dimPercent : -1);
    busy = false;
    if (status > 128) {
        stopped = status;
        return;
    }
    // Someone came during the fade: lit already.
    if (wokeInside)
        return;
    if (!screen.remember(status)) {
        // Nothing went dark, or someone lit it during the fade.
        timing.adopt(Stage::Lit, now());
        screen.forget();
        return;
    }
    // Dimmed counts from when the dim is reached, after its fade.
    timing.adopt(timing.stage(), now());
    if (timing.stage() == Stage::Off)
        grabAll();
}

void Watcher::wake(long long t)
{
    screen.wake();
    if (busy)
        wokeInside = true;
    letGo(t);
}

void Watcher::grabAll()
{
    releasing = false;
    for (InputDevice &d : inputs.devices()) {
        std::string why;
        if (Inputs::grab(d, &why) || d.grabRefused)
            continue;
        d.grabRefused = true;
        *err << "brightness-idle: " << d.path << ": cannot hold it while the screen is off (" << why
             << "): a touch there wakes the screen and also reaches the other programs\n" << std::flush;
    }
}

void Watcher::letGo(long long t)
{
    const auto &all = inputs.devices();
    if (releasing || std::none_of(all.begin(), all.end(), [](const InputDevice &d) { return d.grabbed; }))
        return;
    releasing = true;
    holdUntil = t + holdLimitNs;
}

void Watcher::releaseFree(long long t)
{
    if (!releasing)
        return;
    bool holding = false;
    for (InputDevice &d : inputs.devices()) {
        if (!d.grabbed)
            continue;
        if (t >= holdUntil || !Inputs::held(d))
            Inputs::release(d);
        else
            holding = true;
    }
    releasing = holding;
}

void Watcher::arm()
{
    long long next = timing.deadline();
    if (releasing)
        next = next < 0 ? holdUntil : std::min(next, holdUntil);
    if (next == armed)
        return;
    itimerspec due{};
    if (next >= 0)
        due.it_value = {static_cast<time_t>(next / 1000000000LL), static_cast<long>(next % 1000000000LL)};
    if (timerfd_settime(timer, TFD_TIMER_ABSTIME, &due, nullptr) < 0) {
        *err << "brightness-idle: timer: " << std::strerror(errno) << '\n';
        return;
    }
    armed = next;
}

} // namespace idle
