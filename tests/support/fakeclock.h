#ifndef FAKECLOCK_H
#define FAKECLOCK_H

// Time that passes only when the program sleeps, so that fades and retries
// cost nothing; each sleep can run a test's action first, as if it happened
// while the program waited.

#include <algorithm>
#include <functional>
#include <vector>

#include "control/clock.h"

namespace testutil {

class FakeClock : public control::Clock
{
public:
    long long now() override { return time; }
    void sleepUntil(long long when) override
    {
        sleeps.push_back(when);
        if (during)
            during(int(sleeps.size()));
        time = std::max(time, when);
    }
    long long time = 1000000000LL;
    std::vector<long long> sleeps;
    std::function<void(int)> during;  // given the sleep's number, from 1
};

} // namespace testutil

#endif
