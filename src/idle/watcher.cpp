#include "watcher.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include <poll.h>
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
    if (timer < 0 || notify < 0) {
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
    inputs.scan();
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

// One wait and what it brought; false when a signal cut it short.
bool Watcher::step(long long until)
{
    std::vector<pollfd> fds{{timer, POLLIN, 0}, {hotplug.fd(), POLLIN, 0}, {notify, POLLIN, 0}};
    for (const InputDevice &d : inputs.devices())
        fds.push_back({d.fd, POLLIN, 0});
    timespec wait{};
    if (until >= 0) {
        const long long left = std::max(0LL, until - now());
        wait = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
    }
    if (ppoll(fds.data(), fds.size(), until >= 0 ? &wait : nullptr, nullptr) < 0) {
        if (errno != EINTR) {
            // Nothing could be watched any more: better ended than blind.
            *err << "brightness-idle: poll: " << std::strerror(errno) << '\n';
            stopped = ctl::Failure;
        }
        return false;
    }
    const long long t = now();
    // Inputs first: a wake is what someone waits for.
    inputsReady(fds, t);
    if (fds[1].revents)
        plugged();
    if (fds[2].revents && recordTouched() && !busy)
        recordChanged(t);
    if (fds[0].revents) {
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

void Watcher::inputsReady(const std::vector<pollfd> &fds, long long t)
{
    // The devices follow the timer, the monitor and the record's watch, in
    // the order of inputs.devices().
    std::size_t i = 3;
    std::vector<std::string> gone;
    for (InputDevice &d : inputs.devices()) {
        if (!fds[i++].revents)
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
        if (d && timing.stage() == Stage::Off)
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
