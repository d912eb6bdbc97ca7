#ifndef IDLE_WATCHER_H
#define IDLE_WATCHER_H

// The program's one loop: input devices, their hot-plug, the record and one
// timer, all in a single epoll, so that nothing runs while nobody is there.
// It is also the clock of its own fades: while the library fades, its sleeps
// run this loop, so that a touch during a fade wakes the screen at once.

#include <string>
#include <vector>

#include <sys/epoll.h>

#include "clock.h"
#include "environment.h"
#include "hotplug.h"
#include "inputs.h"
#include "options.h"
#include "screen.h"
#include "timing.h"

namespace idle {

class Watcher : public ctl::Clock
{
public:
    Watcher(const Options &options, const ctl::Environment &env);
    ~Watcher() override;
    Watcher(const Watcher &) = delete;
    Watcher &operator=(const Watcher &) = delete;

    // Opens the timer, the record's watch, udev's monitor and the inputs.
    bool start(std::string *why);
    // Returns only when a signal stopped a fade (128 + the signal) or when
    // waiting failed (Failure).
    int run();

    long long now() override;
    void sleepUntil(long long when) override;

private:
    bool step(long long until);
    bool watch(int fd, bool onlyPerson);
    void watchInput(const InputDevice &device);
    void inputsReady(const epoll_event *ready, int n, long long t);
    void plugged();
    bool recordTouched();
    void recordChanged(long long t);
    void darken(Change change);
    void wake(long long t);
    void grabAll();
    void letGo(long long t);
    void releaseFree(long long t);
    void arm();

    Options options;
    std::ostream *err;
    Timing timing;
    Screen screen;
    Inputs inputs;
    Hotplug hotplug;
    std::string stateDir;
    int timer = -1;
    int notify = -1;
    int poller = -1;
    long long armed = -1;
    bool busy = false;        // inside the library's request
    bool wokeInside = false;  // a wake came during it
    bool releasing = false;   // grabs go once nothing is held
    long long holdUntil = -1;
    int stopped = 0;          // what run() returns
};

} // namespace idle

#endif
