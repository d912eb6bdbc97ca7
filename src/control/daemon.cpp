#include "control/daemon.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>

namespace control {

Daemon::~Daemon()
{
    sd_event_source_disable_unref(clockSet);
    if (clockFd >= 0)
        close(clockFd);
    for (sd_event_source *s : signals)
        sd_event_source_disable_unref(s);
    sd_event_unref(events);
    if (masked)
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
}

bool Daemon::open(std::function<void()> onStop, std::string *why)
{
    stop = std::move(onStop);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    int r = -pthread_sigmask(SIG_BLOCK, &mask, &oldMask);
    masked = r == 0;
    if (r >= 0)
        r = sd_event_new(&events);
    if (r >= 0)
        r = sd_event_add_signal(events, &signals[0], SIGTERM, onSignal, this);
    if (r >= 0)
        r = sd_event_add_signal(events, &signals[1], SIGINT, onSignal, this);
    // Without WatchdogSec= (WATCHDOG_USEC unset) this does nothing.
    if (r >= 0)
        r = sd_event_set_watchdog(events, true);
    if (r < 0) {
        *why = std::string("event loop: ") + std::strerror(-r);
        return false;
    }
    return true;
}

bool Daemon::watchClock(std::function<void()> changed, std::string *why)
{
    clockChanged = std::move(changed);
    clockFd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    int r = clockFd < 0 ? -errno : armClock();
    if (r >= 0)
        r = sd_event_add_io(events, &clockSet, clockFd, EPOLLIN, onClockSet, this);
    if (r < 0) {
        *why = std::string("wall clock watch: ") + std::strerror(-r);
        return false;
    }
    return true;
}

int Daemon::armClock()
{
    // A timer for the end of time, which only a setting of the clock ends.
    itimerspec never{};
    never.it_value.tv_sec = std::numeric_limits<time_t>::max();
    return timerfd_settime(clockFd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never, nullptr) == 0 ? 0 : -errno;
}

int Daemon::onClockSet(sd_event_source *, int, unsigned, void *data)
{
    Daemon *self = static_cast<Daemon *>(data);
    std::uint64_t expired;
    // ECANCELED: the clock was set; the timer is armed again for the next.
    if (read(self->clockFd, &expired, sizeof expired) < 0 && errno != ECANCELED && errno != EAGAIN)
        return 0;
    self->armClock();
    self->clockChanged();
    return 0;
}

int Daemon::onSignal(sd_event_source *, const signalfd_siginfo *, void *data)
{
    static_cast<Daemon *>(data)->stop();
    return 0;
}

void Daemon::ready() const
{
    sd_notify(0, "READY=1");
}

void Daemon::stopping() const
{
    sd_notify(0, "STOPPING=1");
}

} // namespace control
