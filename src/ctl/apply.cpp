#include "ctl/apply.h"

#include <signal.h>

#include "control/clock.h"
#include "control/status.h"

namespace ctl {

// brightness-ctl is the control library on a command line.
using namespace control;

namespace {

volatile std::sig_atomic_t caughtSignal = 0;

extern "C" void onStopSignal(int sig)
{
    caughtSignal = sig;
}

} // namespace

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

const volatile std::sig_atomic_t *stopFlag()
{
    return &caughtSignal;
}

int applyJobs(std::vector<Job> &jobs, const FadePlan &plan, const Environment &env, bool *lockMissed)
{
    Clock &clock = clockOf(env);
    Fade fade(env, plan);
    int status = fade.start(jobs, clock.now());
    if (lockMissed)
        *lockMissed = fade.lockMissed();
    for (long long due; (due = fade.due()) >= 0;) {
        clock.sleepUntil(due);
        if (stopSignal()) {
            fade.interrupt();
            status = 128 + stopSignal();
            break;
        }
        status = worse(status, fade.step(clock.now()));
    }
    jobs = fade.jobs();
    return status;
}

int applyTo(const std::vector<Display> &displays, Action action, const Value &value, const FadePlan &plan,
            const Environment &env)
{
    std::vector<Job> jobs;
    for (const Display &d : displays) {
        jobs.push_back(Job());
        jobs.back().display = d;
        jobs.back().action = action;
        jobs.back().value = value;
    }
    return applyJobs(jobs, plan, env);
}

} // namespace ctl
