#include "control/fade.h"

#include <algorithm>
#include <cstdlib>
#include <ostream>

#include "control/session.h"
#include "control/status.h"
#include "hid/sysfs.h"

namespace control {

namespace {

int levelAt(const Job &job, int step, int steps)
{
    if (job.start < 0)
        return job.target;
    const int delta = job.target - job.start;
    // Rounded to the nearest, half away from the start.
    const int scaled = delta * step * 2 / steps;
    return job.start + (scaled + (scaled < 0 ? -1 : 1)) / 2;
}

bool byIdle(Action action)
{
    return action == Action::Dim || action == Action::IdleOff || action == Action::IdleWake;
}

// Writes one step to every job still active; with the record open, each
// write is remembered.
int writeStep(std::vector<Job> &jobs, int step, int steps, Session &session, const Environment &env)
{
    int status = Ok;
    for (Job &job : jobs) {
        if (!job.active)
            continue;
        const std::optional<Entry> e = session.find(job.display);
        if (job.claimed && session.isOpen() && (!e || e->serial != job.serial)) {
            // A newer request on this display took over: it has the last word.
            job.active = false;
            continue;
        }
        const int level = step == steps ? job.target : levelAt(job, step, steps);
        const int result = level == job.showing ? Ok : sendLevel(job.display, static_cast<unsigned char>(level), env);
        if (result != Ok) {
            status = worse(status, result);
            job.active = false;
            continue;
        }
        job.written = level;
        Entry next{job.display.place, job.display.id.vendor, job.display.id.product, level,
                   job.claimed ? job.serial : nextSerial(e)};
        if (step == steps) {
            putState(job.after, &next);
        } else if (job.keep >= 0 && byIdle(job.action)) {
            // Between idle's steps, what is shown, over the level kept. A
            // person's steps record a person's lit level, so that a fade
            // stopped halfway is never taken for idle's dim.
            next.level = job.keep;
            next.shown = level > 0 ? level : shownOff;
        }
        if (!job.display.place.empty())
            session.put(next);
        if (job.start < 0 || step == steps)
            job.active = false;
    }
    return status;
}

void complainIfWritten(Session &session, const std::vector<Job> &jobs)
{
    if (std::any_of(jobs.begin(), jobs.end(), [](const Job &j) { return j.written >= 0 || j.recordOnly; }))
        session.complain();
}

bool anyActive(const std::vector<Job> &jobs)
{
    return std::any_of(jobs.begin(), jobs.end(), [](const Job &j) { return j.active; });
}

std::string nameOf(const Display &d)
{
    return hidrawPath(d.node) + ' ' + formatIdentity(d.id);
}

Input inputOf(Action action)
{
    switch (action) {
    case Action::Set: return Input::Set;
    case Action::Restore: return Input::Restore;
    case Action::On: return Input::On;
    case Action::Off: return Input::Off;
    case Action::Dim: return Input::IdleDim;
    case Action::Toggle: return Input::Toggle;
    case Action::IdleOff: return Input::IdleOff;
    case Action::IdleWake: return Input::IdleWake;
    }
    return Input::Set;
}

// Says what a transition owes the person; false, said, when it needs a
// record that cannot be used.
bool sayNote(const Job &job, const Transition &t, const ScreenState &before, Session &session,
             const Environment &env)
{
    const bool on = job.action != Action::Set;
    switch (t.note) {
    case Note::FirstUse:
        if (!session.isOpen()) {
            say(env, Priority::Error) << nameOf(job.display) << ": no remembered level to "
                     << (on ? "turn on at" : "change by " + formatValue(job.value)) << " (" << session.why() << ")"
                     << (on ? "" : "; set an absolute value such as 50% first") << '\n';
            return false;
        }
        say(env, Priority::Info) << nameOf(job.display) << ": nothing remembered yet; starting from " << firstUseLevel
                 << "%, where the window's slider starts\n";
        break;
    case Note::StaysDark:
        say(env, Priority::Info) << nameOf(job.display) << ": off; " << formatValue(job.value) << " leaves it off"
                 << (before.level == nothingRemembered ? std::string()
                                                       : ", " + std::to_string(before.level) + "% remembered")
                 << '\n';
        break;
    case Note::None:
    case Note::NotIdles:
    case Note::NothingToRestore:
        break;
    }
    return true;
}

// One job's start and target, by the rules of transition(); false when the
// job cannot be planned. A job with nothing to write has its new state, if
// any, put in the record here.
bool planJob(Job &job, const FadePlan &plan, Session &session, const Environment &env)
{
    const std::optional<Entry> e = session.find(job.display);
    ScreenState before = stateOf(e ? &*e : nullptr);
    // Without the record now, a restore brings back the level it read before.
    if (!e && job.action == Action::Restore)
        before.level = targetLevel(job.value, 0, 0);
    Request request;
    request.input = inputOf(job.action);
    request.value = job.value;
    request.floor = plan.floor;
    request.stayOff = plan.stayOff;
    const Transition t = transition(request, before);
    if (!sayNote(job, t, before, session, env))
        return false;
    job.after = t.next;
    job.target = t.write;
    if (t.write == noWrite) {
        job.active = false;
        if (t.next != before && session.isOpen() && !job.display.place.empty()) {
            Entry next{job.display.place, job.display.id.vendor, job.display.id.product, 0, nextSerial(e)};
            putState(t.next, &next);
            session.put(next);
            job.recordOnly = true;
        }
        return true;
    }
    // A request that keeps the remembered level keeps it through a fade too.
    job.keep = t.next.level == before.level ? t.next.level : -1;
    if (plan.fadeMs > 0)
        job.start = job.action == Action::Restore ? std::min(plan.floor, job.target) : (e ? shownOf(before) : -1);
    // The window changes a level without the record: a dim that faded from
    // the record's level could first brighten the screen, so it starts at
    // the dim level itself.
    if (job.action == Action::Dim)
        job.start = -1;
    return true;
}

// Each job's start and target.
int planJobs(std::vector<Job> &jobs, const FadePlan &plan, Session &session, const Environment &env)
{
    int status = Ok;
    for (Job &job : jobs) {
        if (!planJob(job, plan, session, env)) {
            status = worse(status, Failure);
            job.active = false;
            continue;
        }
        if (job.display.place.empty())
            say(env) << hidrawPath(job.display.node)
                     << ": its level will not be remembered: sysfs shows no bus place for it\n";
    }
    return status;
}

int stepsOf(const std::vector<Job> &jobs, int fadeMs)
{
    int span = 0;
    for (const Job &job : jobs)
        if (job.active && job.start >= 0)
            span = std::max(span, std::abs(job.target - job.start));
    return fadeMs > 0 && span > 0 ? std::max(1, std::min(span, fadeMs / fadeIntervalMs)) : 1;
}

// Claims the displays, so that a fade already running on one of them stops
// before its next write. One with nothing to fade from is set now.
int claim(std::vector<Job> &jobs, Session &session, const Environment &env)
{
    int status = Ok;
    for (Job &job : jobs) {
        if (job.active && job.start < 0) {
            std::vector<Job> one{job};
            status = worse(status, writeStep(one, 1, 1, session, env));
            job = one[0];
        }
        const std::optional<Entry> e = session.find(job.display);
        if (!job.active || !e)
            continue;
        job.serial = nextSerial(e);
        job.claimed = true;
        Entry claimed = *e;
        claimed.serial = job.serial;
        session.put(claimed);
    }
    return status;
}

} // namespace

Fade::Fade(const Environment &env, const FadePlan &plan)
    : env(env), session(this->env, plan.lockWaitMs), plan(plan)
{
}

int Fade::start(std::vector<Job> jobs, long long now)
{
    work = std::move(jobs);
    began = now;
    next = 1;
    over = false;
    if (work.empty()) {
        over = true;
        return Ok;
    }
    // Absolute levels are a truth of their own: a record that cannot be
    // read gives way to them.
    const bool fresh = std::all_of(work.begin(), work.end(), [](const Job &j) {
        return j.action == Action::Set && !j.value.relative;
    });
    session.open(fresh);
    missed = session.lockMissed();
    int status = planJobs(work, plan, session, env);
    steps = stepsOf(work, plan.fadeMs);
    if (steps == 1) {
        status = worse(status, writeStep(work, 1, 1, session, env));
        session.close(/* durable= */ !plan.deferSync);
        finish();
        return status;
    }
    status = worse(status, claim(work, session, env));
    session.close(/* durable= */ false);
    if (!anyActive(work))
        finish();
    return status;
}

long long Fade::due() const
{
    if (over)
        return -1;
    return began + plan.fadeMs * 1000000LL * next / steps;
}

int Fade::step(long long now)
{
    if (over || now < due())
        return Ok;
    const long long spanNs = plan.fadeMs * 1000000LL;
    while (next < steps && began + spanNs * (next + 1) / steps <= now)
        ++next;
    session.open(/* fresh= */ false);
    const int status = writeStep(work, next, steps, session, env);
    session.close(/* durable= */ next == steps && !plan.deferSync);
    if (++next > steps || !anyActive(work))
        finish();
    return status;
}

void Fade::cancel()
{
    for (Job &job : work)
        job.active = false;
    finish();
}

void Fade::interrupt()
{
    cancel();
    // What reached the display is in the record already; make it last.
    if (session.open(/* fresh= */ false)) {
        session.rewrite();
        session.close(/* durable= */ true);
    }
    for (const Job &job : work)
        if (job.written >= 0)
            say(env, Priority::Info) << hidrawPath(job.display.node) << ": fade stopped at " << job.written << "%\n";
}

void Fade::finish()
{
    if (over)
        return;
    over = true;
    complainIfWritten(session, work);
}

} // namespace control
