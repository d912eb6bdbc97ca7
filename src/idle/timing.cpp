#include "idle/timing.h"

namespace idle {

Timing::Timing(const Plan &plan, long long now)
    : plan(plan), since(now)
{
}

Change Timing::input(long long now)
{
    // Input is only ever forward in time; a stale stamp must not shorten
    // the quiet time already counted.
    if (now > since || current != Stage::Lit)
        since = now;
    if (current == Stage::Lit)
        return Change::None;
    current = Stage::Lit;
    return Change::Wake;
}

long long Timing::deadline() const
{
    switch (current) {
    case Stage::Lit:
        return since + plan.afterNs;
    case Stage::Dimmed:
        return plan.offAfterNs < 0 ? -1 : since + plan.offAfterNs;
    case Stage::Off:
        break;
    }
    return -1;
}

Change Timing::expire(long long now)
{
    const long long due = deadline();
    if (due < 0 || now < due)
        return Change::None;
    since = now;
    if (current == Stage::Lit && plan.dimPercent >= 0) {
        current = Stage::Dimmed;
        return Change::Dim;
    }
    current = Stage::Off;
    return Change::Off;
}

void Timing::adopt(Stage stage, long long now)
{
    current = stage;
    since = now;
}

} // namespace idle
