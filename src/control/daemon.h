#ifndef CONTROL_DAEMON_H
#define CONTROL_DAEMON_H

// The skeleton both daemons stand on, as swayidle and systemd's own
// daemons are built: one sd-event loop in which the stop signals, the
// service manager's watchdog and the wall clock's changes are sources like
// any other, and what was taken is given back at the end.

#include <functional>
#include <string>

#include <signal.h>

struct sd_event;
struct sd_event_source;
struct signalfd_siginfo;

namespace control {

class Daemon
{
public:
    Daemon() = default;
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Blocks SIGINT and SIGTERM, so that they arrive through the loop and a
    // fade ends between two writes, and makes the loop: stop runs at either
    // signal (it ends the loop when it is done, sd_event_exit). With
    // WatchdogSec= in the unit, the loop pings the watchdog, so that a loop
    // that is stuck is restarted. Call before any thread is started.
    bool open(std::function<void()> stop, std::string *why);
    sd_event *loop() const { return events; }

    // changed runs whenever the wall clock is set (an NTP sync on a Pi
    // without a clock of its own): a timer that the kernel cancels then,
    // readable only then, so that waiting for it costs no wake-up.
    bool watchClock(std::function<void()> changed, std::string *why);

    // What the service manager is told: started, and stopping.
    void ready() const;
    void stopping() const;

private:
    static int onSignal(sd_event_source *source, const signalfd_siginfo *info, void *self);
    static int onClockSet(sd_event_source *source, int fd, unsigned revents, void *self);
    int armClock();

    sd_event *events = nullptr;
    sd_event_source *signals[2] = {};
    sd_event_source *clockSet = nullptr;
    int clockFd = -1;
    std::function<void()> stop, clockChanged;
    sigset_t oldMask;
    bool masked = false;
};

} // namespace control

#endif
