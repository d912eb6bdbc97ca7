#ifndef CTL_APPLY_H
#define CTL_APPLY_H

// brightness-ctl's requests run to their end: a fade is stepped here, with
// sleeps between the steps, and a SIGINT or SIGTERM ends it between two
// writes, so that the record keeps the last level that reached the display.

#include <csignal>
#include <vector>

#include <signal.h>

#include "control/fade.h"

namespace ctl {


// While it lives, SIGINT and SIGTERM are caught and the system clock's
// sleeps end at them; the handlers found are put back at the end.
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
// The flag the handler sets, for SystemClock.
const volatile std::sig_atomic_t *stopFlag();

// Runs the jobs to their end. A Status, or 128 + the signal that stopped a
// fade. lockMissed, when given: see Fade::lockMissed.
int applyJobs(std::vector<control::Job> &jobs, const control::FadePlan &plan, const control::Environment &env, bool *lockMissed = nullptr);

// One job per display, all with this action and value, then applyJobs.
int applyTo(const std::vector<control::Display> &displays, control::Action action, const control::Value &value,
            const control::FadePlan &plan, const control::Environment &env);

} // namespace ctl

#endif
