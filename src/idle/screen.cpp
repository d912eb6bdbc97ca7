#include "screen.h"

#include <algorithm>

#include <unistd.h>

#include "session.h"
#include "status.h"
#include "store.h"
#include "sysfs.h"
#include "values.h"

namespace idle {

namespace {

ctl::Record readRecord(const ctl::Environment &env)
{
    ctl::Record record;
    std::string why;
    // Unreadable or missing: nothing is known about any display.
    if (!ctl::Store(env.stateDir).read(&record, &why))
        return ctl::Record();
    return record;
}

ctl::Job jobFor(const ctl::Display &display, ctl::Action action, int percent)
{
    ctl::Job job;
    job.display = display;
    job.action = action;
    job.value.percent = true;
    job.value.amount = percent;
    return job;
}

} // namespace

Screen::Screen(const ctl::Environment &env, const ctl::Selection &selection, int fadeMs)
    : env(env), selection(selection), fadeMs(fadeMs)
{
}

Screen::~Screen()
{
    forget();
}

void Screen::pass(const std::ostringstream &messages)
{
    const std::string text = messages.str();
    if (!text.empty() && text != lastMessages)
        *env.err << text << std::flush;
    lastMessages = text;
}

void Screen::keep()
{
    // Someone else darkened the displays and has said what there was to say.
    std::ostringstream nowhere;
    open(nowhere);
}

void Screen::open(std::ostringstream &messages)
{
    forget();
    ctl::Environment quiet = env;
    quiet.err = &messages;
    kept = ctl::findDisplays(quiet, selection);
    const ctl::Record record = readRecord(env);
    for (const ctl::Display &d : kept.usable) {
        const ctl::Entry *e = ctl::entryOf(record, d);
        std::array<unsigned char, reportSize> report{reportNumber};
        fillBrightnessReport(report.data(), static_cast<unsigned char>(e ? e->level : ctl::firstUseLevel));
        reports.push_back(report);
    }
}

void Screen::forget()
{
    ctl::closeDisplays(&kept);
    kept = ctl::Scan();
    reports.clear();
}

int Screen::darken(int percent)
{
    std::ostringstream messages;
    open(messages);
    ctl::Environment quiet = env;
    quiet.out = &messages;
    quiet.err = &messages;
    const ctl::Record record = readRecord(env);
    std::vector<ctl::Job> jobs;
    for (const ctl::Display &d : kept.usable) {
        if (percent < 0) {
            jobs.push_back(jobFor(d, ctl::Action::Off, 0));
            continue;
        }
        // A display darker than the dim stays as it is (and counts as dimmed).
        const ctl::Entry *e = ctl::entryOf(record, d);
        const int shown = e ? ctl::shownLevel(*e) : ctl::firstUseLevel;
        jobs.push_back(jobFor(d, ctl::Action::Dim, std::max(1, std::min(percent, shown))));
    }
    int status = kept.status;
    if (kept.usable.empty() && kept.refused.empty()) {
        ctl::say(quiet) << "no display found on " << ctl::searchedNodes() << '\n';
        status = ctl::worse(status, ctl::Failure);
    }
    ctl::Plan plan;
    plan.fadeMs = fadeMs;
    status = ctl::worse(status, ctl::applyJobs(jobs, plan, quiet));
    pass(messages);
    return status;
}

void Screen::light()
{
    // Descriptors already open, reports made beforehand: this write is what
    // the person waits for. A display gone meanwhile, or a short write, is
    // the library's to report in wake().
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const ssize_t written = write(kept.usable[i].fd, reports[i].data(), reportSize);
        static_cast<void>(written);
    }
    reports.clear();
}

int Screen::wake()
{
    light();
    forget();
    // Then through the library, on a fresh scan: it records the level as
    // lit with a new serial, which ends any fade in progress, and writes
    // the same level again, which the display does not show.
    std::ostringstream messages;
    ctl::Environment quiet = env;
    quiet.out = &messages;
    quiet.err = &messages;
    ctl::Scan scan = ctl::findDisplays(quiet, selection);
    ctl::Plan plan;
    const int status = ctl::worse(scan.status, ctl::applyTo(scan.usable, ctl::Action::On, ctl::Value(), plan, quiet));
    ctl::closeDisplays(&scan);
    pass(messages);
    remember(status);
    return status;
}

std::string Screen::snapshot(Shown *shown) const
{
    const ctl::Record record = readRecord(env);
    const bool one = selection.node >= 0 || !selection.place.empty();
    const std::string place = selection.node >= 0 ? busPlace(env.sysfsRoot, selection.node) : selection.place;
    const std::string former = selection.node >= 0 ? formerBusPlace(env.sysfsRoot, selection.node) : place;
    ctl::Record mine;
    for (const ctl::Entry &e : record.entries) {
        if (one && e.place != place && e.place != former)
            continue;
        mine.entries.push_back(e);
        ++(e.shown == ctl::shownLit ? shown->lit : e.shown == ctl::shownOff ? shown->off : shown->dimmed);
    }
    return ctl::formatRecord(mine);
}

bool Screen::remember(int status)
{
    Shown shown;
    known = snapshot(&shown);
    return shown.dimmed + shown.off > 0 || (status == ctl::Ok && shown.lit == 0);
}

bool Screen::changed(Stage *stage)
{
    Shown shown;
    const std::string now = snapshot(&shown);
    if (now == known)
        return false;
    known = now;
    // Lit wins: whoever lit a display is there.
    *stage = shown.lit > 0 || shown.dimmed + shown.off == 0 ? Stage::Lit
        : shown.dimmed > 0                                ? Stage::Dimmed
                                                          : Stage::Off;
    return true;
}

} // namespace idle
