#include "clock.h"

#include <algorithm>
#include <csignal>
#include <ctime>

namespace ctl {

namespace {

volatile std::sig_atomic_t caughtSignal = 0;

extern "C" void onStopSignal(int sig)
{
    caughtSignal = sig;
}

} // namespace

long long SystemClock::now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

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

Clock &clockOf(const Environment &env)
{
    static SystemClock system;
    return env.clock ? *env.clock : system;
}

StopSignals::StopSignals()
{
    caughtSignal = 0;
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
}

StopSignals::~StopSignals()
{
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
}

int stopSignal()
{
    return caughtSignal;
}

} // namespace ctl
