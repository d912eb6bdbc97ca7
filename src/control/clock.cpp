#include "control/clock.h"

#include <algorithm>
#include <ctime>

namespace control {

long long monotonicNs()
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
    for (long long t = now(); t < when && !(stop && *stop); t = now()) {
        const long long until = stop ? std::min(when, t + slice) : when;
        const timespec ts{static_cast<time_t>(until / 1000000000LL), static_cast<long>(until % 1000000000LL)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
}

Clock &clockOf(const Environment &env)
{
    static SystemClock system;
    return env.clock ? *env.clock : system;
}

} // namespace control
