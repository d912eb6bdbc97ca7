#ifndef CTL_CLOCK_H
#define CTL_CLOCK_H

// Time and signals for fades and retries.

#include <signal.h>

#include "environment.h"

namespace ctl {

// Monotonic time.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual long long now() = 0;  // nanoseconds
    // Returns at the given time, or earlier when a stop signal arrives.
    virtual void sleepUntil(long long when) = 0;
};

class SystemClock : public Clock
{
public:
    long long now() override;
    void sleepUntil(long long when) override;
};

// env.clock, or the system's.
Clock &clockOf(const Environment &env);

// While it lives, SIGINT and SIGTERM end a fade between two writes, so that
// the record keeps the last level that reached the display.
class StopSignals
{
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    struct sigaction oldInt, oldTerm;
};

// The stop signal caught since the last StopSignals began; 0 for none.
int stopSignal();

} // namespace ctl

#endif
