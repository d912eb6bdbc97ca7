#include "idle/screen.h"

#include <algorithm>

#include <unistd.h>

#include "control/clock.h"
#include "control/session.h"
#include "control/status.h"
#include "control/store.h"
#include "hid/sysfs.h"
#include "control/values.h"

namespace idle {

namespace {

control::Record readRecord(const control::Environment &env)
{
    control::Record record;
    std::string why;
    // Unreadable or missing: nothing is known about any display.
    if (!control::Store(env.stateDir).read(&record, &why))
        return control::Record();
    return record;
}

control::Job jobFor(const control::Display &display, control::Action action, int percent)
{
    control::Job job;
    job.display = display;
    job.action = action;
    job.value.percent = true;
    job.value.amount = percent;
    return job;
}

control::Request requestOf(control::Input input, int percent)
{
    control::Request r;
    r.input = input;
    r.value.percent = true;
    r.value.amount = percent;
    return r;
}

} // namespace

Screen::Screen(const control::Environment &env, control::Log &log, const control::Selection &selection, int fadeMs)
    : env(env), log(log), selection(selection), fadeMs(fadeMs), fadeEnv(env),
      wakeRequest(requestOf(control::Input::IdleWake, 0))
{
    fadeEnv.out = &fadeMessages;
    fadeEnv.err = &fadeMessages;
    fadeEnv.priorityPrefix = true;
}

Screen::~Screen()
{
    cancel();
    forget();
}

void Screen::pass(const char *kind, const std::ostringstream &messages)
{
    log.relayLimited(kind, control::Priority::Warning, messages.str(), control::monotonicNs());
}

std::string Screen::describe() const
{
    std::ostringstream nowhere;
    control::Environment quiet = env;
    quiet.err = &nowhere;
    control::Scan scan = control::findDisplays(quiet, selection);
    std::string text;
    for (const control::Display &d : control::everyDisplay(scan))
        text += std::string(text.empty() ? "display " : ", ") + hidrawPath(d.node) + ' ' + control::formatIdentity(d.id)
            + (d.place.empty() ? "" : " at " + d.place) + (d.fd < 0 ? " (access refused)" : "");
    control::closeDisplays(&scan);
    if (!text.empty())
        return text;
    return "no display found now"
        + (selection.node >= 0 ? " on " + hidrawPath(selection.node)
                               : selection.place.empty() ? std::string() : " at " + selection.place)
        + "; one that comes is used";
}

void Screen::open(std::ostringstream &messages, const control::Request &darkening)
{
    forget();
    control::Environment quiet = env;
    quiet.err = &messages;
    quiet.priorityPrefix = true;
    kept = control::findDisplays(quiet, selection);
    const control::Record record = readRecord(env);
    for (const control::Display &d : kept.usable)
        states.push_back(control::transition(darkening, control::stateOf(control::entryOf(record, d))).next);
    prepare();
}

void Screen::wakeAs(const control::Request &request)
{
    wakeRequest = request;
    prepare();
}

void Screen::prepare()
{
    // The level the library's wake writes, so that the two never differ;
    // a display that the wake leaves as it is gets no report.
    reports.clear();
    for (const control::ScreenState &s : states) {
        // A report number of 0: nothing to write.
        std::array<unsigned char, reportSize> report{0};
        const control::Transition t = control::transition(wakeRequest, s);
        if (t.write != control::noWrite) {
            report[0] = reportNumber;
            fillBrightnessReport(report.data(), static_cast<unsigned char>(t.write));
        }
        reports.push_back(report);
    }
}

void Screen::forget()
{
    control::closeDisplays(&kept);
    kept = control::Scan();
    reports.clear();
    states.clear();
}

int Screen::darken(int percent, long long now)
{
    cancel();
    fadeMessages.str(std::string());
    open(fadeMessages,
         percent < 0 ? requestOf(control::Input::IdleOff, 0) : requestOf(control::Input::IdleDim, percent));
    const control::Record record = readRecord(env);
    std::vector<control::Job> jobs;
    for (const control::Display &d : kept.usable) {
        if (percent < 0) {
            jobs.push_back(jobFor(d, control::Action::IdleOff, 0));
            continue;
        }
        // A display darker than the dim stays as it is (and counts as dimmed).
        const control::Entry *e = control::entryOf(record, d);
        const int shown = e ? control::shownLevel(*e) : control::firstUseLevel;
        jobs.push_back(jobFor(d, control::Action::Dim, std::max(1, std::min(percent, shown))));
    }
    return startFade(jobs, now, fadeMs);
}

int Screen::setLevel(int percent, int ms, long long now)
{
    cancel();
    fadeMessages.str(std::string());
    control::Request set = requestOf(control::Input::Set, percent);
    set.stayOff = true;
    open(fadeMessages, set);
    std::vector<control::Job> jobs;
    for (const control::Display &d : kept.usable)
        jobs.push_back(jobFor(d, control::Action::Set, percent));
    return startFade(jobs, now, ms, true);
}

int Screen::litLevel() const
{
    Shown shown;
    snapshot(&shown);
    return shown.litLevel;
}

int Screen::undim(long long now)
{
    cancel();
    fadeMessages.str(std::string());
    open(fadeMessages, requestOf(control::Input::IdleWake, 0));
    std::vector<control::Job> jobs;
    for (const control::Display &d : kept.usable)
        jobs.push_back(jobFor(d, control::Action::IdleWake, 0));
    return startFade(jobs, now, fadeMs);
}

int Screen::startFade(const std::vector<control::Job> &jobs, long long now, int ms, bool stayOff)
{
    int status = kept.status;
    if (kept.usable.empty() && kept.refused.empty()) {
        control::say(fadeEnv) << "no display found on " << control::searchedNodes() << '\n';
        status = control::worse(status, control::Failure);
    }
    control::FadePlan plan;
    plan.fadeMs = ms;
    plan.stayOff = stayOff;
    fade = std::make_unique<control::Fade>(fadeEnv, plan);
    status = control::worse(status, fade->start(jobs, now));
    if (fade->done())
        endFade();
    return status;
}

int Screen::step(long long now)
{
    if (!fade)
        return control::Ok;
    const int status = fade->step(now);
    if (fade->done())
        endFade();
    return status;
}

void Screen::cancel()
{
    if (!fade)
        return;
    fade->cancel();
    endFade();
}

void Screen::interrupt()
{
    if (!fade)
        return;
    if (!fade->done())
        fade->interrupt();
    endFade();
}

void Screen::endFade()
{
    const auto &jobs = fade->jobs();
    darkReached = std::any_of(jobs.begin(), jobs.end(), [](const control::Job &j) { return j.written >= 0; });
    fadeCutShort = std::any_of(jobs.begin(), jobs.end(), [](const control::Job &j) { return j.written != j.target; });
    fade.reset();
    pass("darken", fadeMessages);
    fadeMessages.str(std::string());
}

bool Screen::light()
{
    // Descriptors already open, reports made beforehand: this write is what
    // the person waits for. A display gone meanwhile, or a short write, is
    // the library's to report in wake().
    if (!reports.empty())
        lit.clear();
    for (std::size_t i = 0; i < reports.size(); ++i)
        if (reports[i][0] == reportNumber
            && write(kept.usable[i].fd, reports[i].data(), reportSize) == ssize_t(reportSize))
            lit.emplace_back(kept.usable[i].node, reports[i][levelOffset]);
    const bool wrote = !reports.empty();
    reports.clear();
    states.clear();
    return wrote;
}

int Screen::wake(long long now)
{
    light();
    cancel();
    forget();
    // Then through the library, on a fresh scan: it records the level as
    // lit with a new serial, which ends any fade in progress, and writes
    // the same level again, which the display does not show.
    std::ostringstream messages;
    control::Environment quiet = env;
    quiet.out = &messages;
    quiet.err = &messages;
    quiet.priorityPrefix = true;
    control::Scan scan = control::findDisplays(quiet, selection);
    std::vector<control::Job> jobs;
    for (const control::Display &d : scan.usable) {
        jobs.push_back(jobFor(d, control::Action::IdleWake, wakeRequest.value.amount));
        for (const auto &l : lit)
            if (l.first == d.node)
                jobs.back().showing = l.second;
    }
    lit.clear();
    // Without a fade, the request is done within start().
    control::Fade on(quiet, control::FadePlan());
    const int status = control::worse(scan.status, on.start(jobs, now));
    control::closeDisplays(&scan);
    pass("wake", messages);
    remember(status);
    return status;
}

std::string Screen::snapshot(Shown *shown) const
{
    const control::Record record = readRecord(env);
    const bool one = selection.node >= 0 || !selection.place.empty();
    const std::string place = selection.node >= 0 ? busPlace(env.sysfsRoot, selection.node) : selection.place;
    const std::string former = selection.node >= 0 ? formerBusPlace(env.sysfsRoot, selection.node) : place;
    control::Record mine;
    for (const control::Entry &e : record.entries) {
        if (one && e.place != place && e.place != former)
            continue;
        mine.entries.push_back(e);
        ++(e.shown == control::shownLit ? shown->lit : e.shown == control::shownOff ? shown->off : shown->dimmed);
        if (e.shown == control::shownLit && shown->litLevel < 0)
            shown->litLevel = e.level;
        shown->offByIdle += e.shown == control::shownOff && e.byIdle;
    }
    return control::formatRecord(mine);
}

bool Screen::remember(int status)
{
    Shown shown;
    known = snapshot(&shown);
    return shown.dimmed + shown.off > 0 || (status == control::Ok && shown.lit == 0);
}

bool Screen::changed(Stage *stage, bool *byIdle)
{
    Shown shown;
    const std::string now = snapshot(&shown);
    if (now == known)
        return false;
    known = now;
    *byIdle = shown.off == shown.offByIdle;
    // Lit wins: whoever lit a display is there.
    *stage = shown.lit > 0 || shown.dimmed + shown.off == 0 ? Stage::Lit
        : shown.dimmed > 0                                ? Stage::Dimmed
                                                          : Stage::Off;
    return true;
}

} // namespace idle
