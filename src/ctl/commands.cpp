#include "ctl/commands.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "ctl/apply.h"
#include "control/clock.h"
#include "control/cmdline.h"
#include "control/session.h"
#include "control/status.h"
#include "control/store.h"
#include "hid/sysfs.h"

namespace ctl {

// brightness-ctl is the control library on a command line.
using namespace control;

namespace {

// True, after saying so, when nothing at all was found.
bool reportNoDisplay(const Scan &scan, const Options &opts, const Environment &env)
{
    if (!scan.usable.empty() || !scan.refused.empty())
        return false;
    // A display that failed in another way has been named already.
    if (scan.status != Ok)
        return true;
    if (!opts.selected) {
        say(env) << "no display found on " << searchedNodes() << " (USB ID " << acceptedIdentities() << ")\n";
        // A display with an unexpected identity looks like no display at all.
        if (scan.others.empty())
            say(env) << "no hidraw node is present\n";
        else
            say(env) << "hidraw nodes present: " << describeOthers(scan) << '\n';
    }
    else if (opts.selection.node >= 0)
        say(env) << "no display found on " << hidrawPath(opts.selection.node) << '\n';
    else
        say(env) << "no display found at " << opts.selection.place << '\n';
    return true;
}

// The selected displays, or the reason for the status when there are none.
Scan scanFor(const Options &opts, const Environment &env, int *status)
{
    Scan scan = findDisplays(env, opts.selection);
    *status = scan.status;
    if (reportNoDisplay(scan, opts, env))
        *status = worse(*status, Failure);
    return scan;
}

FadePlan planOf(const Options &opts)
{
    FadePlan plan;
    plan.floor = opts.floor;
    plan.fadeMs = opts.fadeMs;
    plan.stayOff = opts.stayOff;
    return plan;
}

int applyToSelected(Action action, const Value &value, const Options &opts, const Environment &env)
{
    int status;
    Scan scan = scanFor(opts, env, &status);
    status = worse(status, applyTo(scan.usable, action, value, planOf(opts), env));
    closeDisplays(&scan);
    return status;
}

// ", off" or ", dimmed to 20%" after a remembered level; nothing when lit.
std::string stateOf(const Entry &e)
{
    if (e.shown == shownOff)
        return ", off";
    if (e.shown != shownLit)
        return ", dimmed to " + std::to_string(e.shown) + '%';
    return std::string();
}

std::string keyOf(const Display &d)
{
    return d.place + ' ' + formatIdentity(d.id);
}

// One try at restoring the displays not yet done. A try that missed the
// record's lock makes the later ones not wait for it: the tries are what
// gives a slow display its level, the record only remembers it.
int restoreOnce(const Record &record, std::vector<std::string> *done, int *lockWaitMs, const Options &opts,
                const Environment &env)
{
    int status;
    Scan scan = scanFor(opts, env, &status);
    std::vector<Job> jobs;
    for (const Display &d : scan.usable) {
        const Entry *e = entryOf(record, d);
        // Nothing remembered: nothing to do, and nothing wrong.
        if (!e || std::find(done->begin(), done->end(), keyOf(d)) != done->end())
            continue;
        jobs.push_back(Job());
        jobs.back().display = d;
        jobs.back().action = Action::Restore;
        jobs.back().value.percent = true;
        jobs.back().value.amount = e->level;
    }
    FadePlan plan = planOf(opts);
    plan.lockWaitMs = *lockWaitMs;
    bool lockMissed = false;
    status = worse(status, applyJobs(jobs, plan, env, &lockMissed));
    if (lockMissed)
        *lockWaitMs = 0;
    for (const Job &job : jobs)
        if (job.written == job.target)
            done->push_back(keyOf(job.display));
    closeDisplays(&scan);
    return status;
}

} // namespace

int commandSet(const Options &opts, const Environment &env)
{
    Value value;
    if (!parseValue(opts.operands[0], &value)) {
        *env.err << usageError(env.program, "invalid brightness '" + opts.operands[0]
                                                + "': give a step from 0 to 10 or a percentage from 0% to 100%"
                                                  ", or a change such as +1, 1-, +10% or 10%-");
        return Usage;
    }
    return applyToSelected(Action::Set, value, opts, env);
}

int commandOn(const Options &opts, const Environment &env)
{
    return applyToSelected(Action::On, Value(), opts, env);
}

int commandOff(const Options &opts, const Environment &env)
{
    return applyToSelected(Action::Off, Value(), opts, env);
}

int commandToggle(const Options &opts, const Environment &env)
{
    return applyToSelected(Action::Toggle, Value(), opts, env);
}

int commandRestore(const Options &opts, const Environment &env)
{
    Record record;
    std::string why;
    if (!Store(env.stateDir).read(&record, &why)) {
        say(env) << "cannot restore: " << why << '\n';
        return Failure;
    }
    if (record.entries.empty())
        return Ok;

    // A display that has just appeared may not take reports yet: try again
    // for a while, and report only what the last try met.
    Clock &clock = clockOf(env);
    const long long deadline = clock.now() + restoreWindowMs * 1000000LL;
    std::vector<std::string> done;
    int lockWaitMs = Store::defaultLockWaitMs;
    for (;;) {
        std::ostringstream messages;
        Environment quiet = env;
        quiet.err = &messages;
        const int status = restoreOnce(record, &done, &lockWaitMs, opts, quiet);
        const long long now = clock.now();
        if (status == Ok || status > 128 || now >= deadline) {
            *env.err << messages.str();
            return status;
        }
        clock.sleepUntil(std::min(deadline, now + restoreRetryMs * 1000000LL));
        if (stopSignal())
            return 128 + stopSignal();
    }
}

// The displays a reading command shows, closed again, and the record; the
// reason in *why when there are displays but the record cannot be read.
std::vector<Display> displaysToShow(const Options &opts, const Environment &env, Record *record, int *status,
                                    std::string *why)
{
    Scan scan = scanFor(opts, env, status);
    const std::vector<Display> all = everyDisplay(scan);
    closeDisplays(&scan);
    if (!all.empty() && !Store(env.stateDir).read(record, why))
        say(env) << "nothing remembered: " << *why << '\n';
    return all;
}

int commandGet(const Options &opts, const Environment &env)
{
    int status;
    Record record;
    std::string why;
    const std::vector<Display> all = displaysToShow(opts, env, &record, &status, &why);
    if (!why.empty())
        return worse(status, Failure);
    for (const Display &d : all) {
        const Entry *found = entryOf(record, d);
        // Off with nothing remembered, as after "set 0" on a new display.
        const Entry *e = found && found->level != nothingRemembered ? found : nullptr;
        const std::string name = hidrawPath(d.node) + ' ' + formatIdentity(d.id);
        if (opts.machine)
            *env.out << name << ' ' << (e ? std::to_string(e->level) : "-") << ' '
                     << (d.place.empty() ? "-" : d.place) << '\n';
        else if (e)
            *env.out << name << ": " << e->level << "% remembered" << stateOf(*e)
                     << " (the level last set here; the display cannot be read back)\n";
        if (!e) {
            say(env) << name << ": no level remembered"
                     << (d.place.empty() ? " (sysfs shows no bus place for it)" : "")
                     << "; a step or 'on' starts from " << firstUseLevel << "%\n";
            status = worse(status, Failure);
        }
    }
    return status;
}

int commandList(const Options &opts, const Environment &env)
{
    int status;
    Scan scan = scanFor(opts, env, &status);
    for (const Display &d : everyDisplay(scan)) {
        *env.out << hidrawPath(d.node) << ' ' << formatIdentity(d.id);
        if (opts.machine)
            *env.out << (d.fd < 0 ? " no-permission " : " ok ") << (d.place.empty() ? "-" : d.place);
        else if (d.fd < 0)
            *env.out << " no-permission";
        if (!opts.machine && !d.place.empty())
            *env.out << ' ' << d.place;
        *env.out << '\n';
    }
    if (opts.verbose && !(scan.usable.empty() && scan.refused.empty()))
        for (const OtherNode &o : scan.others)
            *env.out << hidrawPath(o.node) << ' ' << (o.identified ? formatIdentity(o.id) : "-")
                     << (o.identified ? " not a display\n" : " identity not readable\n");
    closeDisplays(&scan);
    return status;
}

int commandStatus(const Options &opts, const Environment &env)
{
    int status;
    Record record;
    std::string why;
    for (const Display &d : displaysToShow(opts, env, &record, &status, &why)) {
        const Entry *e = entryOf(record, d);
        *env.out << hidrawPath(d.node) << ' ' << formatIdentity(d.id) << (d.place.empty() ? "" : " ")
                 << d.place << ": ";
        const ScreenState s = stateOf(e);
        if (s.level == nothingRemembered)
            *env.out << "nothing remembered" << (s.power == Power::Off ? ", off; 'on'" : "; a step or 'on'")
                     << " starts from " << firstUseLevel << '%';
        else
            *env.out << s.level << "% remembered, "
                     << (s.power == Power::On       ? "on"
                         : s.power == Power::Dimmed ? "dimmed to " + std::to_string(s.dim) + '%'
                         : s.by == By::Idle         ? "off by brightness-idle"
                                                    : "off");
        *env.out << (d.fd < 0 ? " (access refused)\n" : "\n");
    }
    return status;
}

int commandHelp(const Options &, const Environment &env)
{
    *env.out << usage(env);
    return Ok;
}

int commandVersion(const Options &, const Environment &env)
{
    *env.out << env.program << ' ' << BRIGHTNESS_VERSION << '\n';
    return Ok;
}

} // namespace ctl
