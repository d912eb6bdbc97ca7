#ifndef CONTROL_CLOCK_H
#define CONTROL_CLOCK_H

// The monotonic clock every program of the project keeps time by.

#include <csignal>

#include "control/environment.h"

namespace control {

// CLOCK_MONOTONIC in nanoseconds.
long long monotonicNs();

class Clock
{
public:
    virtual ~Clock() = default;
    virtual long long now() = 0;  // nanoseconds
    // Returns at the given time, or earlier when a stop was asked for.
    virtual void sleepUntil(long long when) = 0;
};

class SystemClock : public Clock
{
public:
    // stop: set by the caller's signal handler; a sleep ends within a
    // slice of it being set. Null: sleeps are never cut short.
    explicit SystemClock(const volatile std::sig_atomic_t *stop = nullptr) : stop(stop) {}
    long long now() override { return monotonicNs(); }
    void sleepUntil(long long when) override;

private:
    const volatile std::sig_atomic_t *stop;
};

// env.clock, or the system's.
Clock &clockOf(const Environment &env);

} // namespace control

#endif
