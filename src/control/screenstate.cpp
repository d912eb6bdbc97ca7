#include "control/screenstate.h"

#include <algorithm>

namespace control {

namespace {

Transition unchanged(const ScreenState &s, Note note = Note::None)
{
    return {s, noWrite, note};
}

Transition lightAt(int level, Note note = Note::None)
{
    ScreenState next;
    next.level = level;
    return {next, level, note};
}

// On: the remembered level, or where a first use starts.
Transition lightRemembered(const ScreenState &s)
{
    return s.level == nothingRemembered ? lightAt(firstUseLevel, Note::FirstUse) : lightAt(s.level);
}

Transition turnOff(const ScreenState &s, By by)
{
    ScreenState next;
    next.level = s.level;
    next.power = Power::Off;
    next.by = by;
    return {next, 0, Note::None};
}

// Steps count in percent from here on.
int percentOf(const Value &v)
{
    return v.percent ? v.amount : v.amount * 10;
}

Transition set(const Request &r, const ScreenState &s)
{
    if (s.power == Power::Off && r.stayOff) {
        // Only the level that 'on' brings back; a relative value counts
        // from it, and 0 is no level to bring back.
        Note note = Note::None;
        int base = s.level;
        if (r.value.relative && base == nothingRemembered) {
            base = firstUseLevel;
            note = Note::FirstUse;
        }
        const int level = targetLevel(r.value, base, r.value.relative ? r.floor : 0);
        ScreenState next = s;
        if (level > 0)
            next.level = level;
        return unchanged(next, note);
    }
    if (s.power == Power::Off && r.value.relative && percentOf(r.value) <= 0)
        return unchanged(s, Note::StaysDark);
    const Note note = r.value.relative && s.power == Power::On && s.level == nothingRemembered ? Note::FirstUse
                                                                                                : Note::None;
    const int target = r.value.relative ? targetLevel(r.value, shownOf(s), r.floor) : targetLevel(r.value, 0, 0);
    if (target == 0)
        return turnOff(s, By::Person);
    return lightAt(target, note);
}

} // namespace

bool operator==(const ScreenState &a, const ScreenState &b)
{
    return a.level == b.level && a.power == b.power && a.dim == b.dim && a.by == b.by;
}

int shownOf(const ScreenState &s)
{
    switch (s.power) {
    case Power::Off:
        return 0;
    case Power::Dimmed:
        return s.dim;
    case Power::On:
        break;
    }
    return s.level == nothingRemembered ? firstUseLevel : s.level;
}

Transition transition(const Request &r, const ScreenState &s)
{
    const bool off = s.power == Power::Off;
    // Idle's requests leave a display someone else turned off alone.
    const Note notIdles = off && s.by == By::Person ? Note::NotIdles : Note::None;
    switch (r.input) {
    case Input::Set:
        return set(r, s);
    case Input::On:
        return lightRemembered(s);
    case Input::Off:
        return turnOff(s, By::Person);
    case Input::Toggle:
        return off ? lightRemembered(s) : turnOff(s, By::Person);
    case Input::Restore:
        if (s.level == nothingRemembered)
            return unchanged(s, Note::NothingToRestore);
        return lightAt(std::max(s.level, std::min(100, std::max(0, r.floor))));
    case Input::IdleDim: {
        if (off)
            return unchanged(s, notIdles);
        ScreenState next = s;
        next.power = Power::Dimmed;
        next.dim = std::max(1, std::min(targetLevel(r.value, 0, 0), shownOf(s)));
        next.by = By::Idle;
        return {next, next.dim, Note::None};
    }
    case Input::IdleOff:
        return off ? unchanged(s, notIdles) : turnOff(s, By::Idle);
    case Input::IdleWake: {
        if (s.power == Power::On || notIdles != Note::None)
            return unchanged(s, notIdles);
        const int remembered = s.level == nothingRemembered ? firstUseLevel : s.level;
        const int cap = r.value.amount > 0 ? targetLevel(r.value, 0, 0) : remembered;
        if (cap >= remembered)
            return lightRemembered(s);
        // Lit at the cap, the remembered level kept: still idle's, which
        // brings the remembered level back later.
        if (s.power == Power::Dimmed && s.dim == cap)
            return unchanged(s);
        ScreenState next = s;
        next.power = Power::Dimmed;
        next.dim = cap;
        next.by = By::Idle;
        return {next, cap, Note::None};
    }
    }
    return unchanged(s);
}

ScreenState stateOf(const Entry *e)
{
    ScreenState s;
    if (!e)
        return s;
    s.level = std::max(0, std::min(100, e->level));
    if (e->shown == shownOff || (e->shown == shownLit && s.level == nothingRemembered)) {
        s.power = Power::Off;
        s.by = e->shown == shownOff && e->byIdle ? By::Idle : By::Person;
    } else if (e->shown != shownLit) {
        s.power = Power::Dimmed;
        s.dim = e->shown;
        s.by = By::Idle;
    }
    return s;
}

void putState(const ScreenState &s, Entry *e)
{
    // On with nothing remembered is what the display shows: firstUseLevel.
    e->level = s.power == Power::On ? shownOf(s) : s.level;
    e->shown = s.power == Power::On ? shownLit : s.power == Power::Off ? shownOff : s.dim;
    e->byIdle = s.power == Power::Off && s.by == By::Idle;
}

} // namespace control
