#include "screen.h"

#include <unistd.h>

#include "store.h"
#include "values.h"

namespace idle {

Screen::Screen(const ctl::Environment &env, const ctl::Selection &selection, int fadeMs)
    : env(env), err(env.err), selection(selection), fadeMs(fadeMs)
{
}

Screen::~Screen()
{
    forget();
}

void Screen::pass(std::ostringstream &messages)
{
    const std::string text = messages.str();
    if (!text.empty() && text != lastMessages)
        *err << text << std::flush;
    lastMessages = text;
}

int Screen::apply(ctl::Action action, int percent)
{
    std::ostringstream messages;
    ctl::Environment quiet = env;
    quiet.out = &messages;
    quiet.err = &messages;
    ctl::Request request;
    request.action = action;
    request.selection = selection;
    if (action == ctl::Action::Dim) {
        request.value.percent = true;
        request.value.amount = percent;
    }
    // Waking is at once: the fade is for going dark.
    request.fadeMs = action == ctl::Action::On ? 0 : fadeMs;
    const int status = ctl::apply(request, quiet);
    pass(messages);
    return status;
}

void Screen::keep()
{
    forget();
    // What it says goes nowhere: the request right after says the same.
    std::ostringstream nowhere;
    ctl::Environment quiet = env;
    quiet.out = &nowhere;
    quiet.err = &nowhere;
    kept = ctl::findDisplays(quiet, selection);
    ctl::Record record;
    std::string why;
    if (!ctl::Store(env.stateDir).read(&record, &why))
        record = ctl::Record();
    for (const ctl::Display &d : kept.usable) {
        const ctl::Entry *e = ctl::findEntry(record, d.place, d.id.vendor, d.id.product);
        // What the library's On sends to a display with nothing remembered.
        std::array<unsigned char, reportSize> report{reportNumber};
        fillBrightnessReport(report.data(), static_cast<unsigned char>(e ? e->level : 100));
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
    keep();
    return apply(percent < 0 ? ctl::Action::Off : ctl::Action::Dim, percent);
}

int Screen::wake()
{
    // The report first, made beforehand, on descriptors already open: this
    // write is what the person waits for. A display gone meanwhile, or a
    // short write, is the library's to report right after.
    for (std::size_t i = 0; i < kept.usable.size(); ++i)
        if (write(kept.usable[i].fd, reports[i].data(), reportSize) < 0)
            continue;
    forget();
    const int status = apply(ctl::Action::On, -1);
    remember(status);
    return status;
}

std::string Screen::snapshot(Shown *shown) const
{
    ctl::Record record;
    std::string why;
    if (!ctl::Store(env.stateDir).read(&record, &why))
        record = ctl::Record();
    const bool one = selection.node >= 0 || !selection.place.empty();
    const std::string place = selection.node >= 0 ? ctl::busPlace(env.sysfsRoot, selection.node) : selection.place;
    ctl::Record mine;
    for (const ctl::Entry &e : record.entries) {
        if (one && e.place != place)
            continue;
        mine.entries.push_back(e);
        ++(ctl::shownOf(e) < 0 ? shown->lit : ctl::shownOf(e) > 0 ? shown->dimmed : shown->off);
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
