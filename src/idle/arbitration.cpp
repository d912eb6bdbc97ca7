#include "idle/controller.h"

#include <algorithm>

#include "idle/night.h"

// What the arbiter decides, done: wakes, holds, the night and its level, and
// what others read and set through the bus.

namespace idle {

namespace {

const long long secondNs = 1000000000LL;

} // namespace

void Controller::presence(bool before, long long now)
{
    keepers.presence = presenceNow();
    if (keepers.presence != before)
        act(keepers.presence ? Event::PresenceBegan : Event::PresenceEnded, now);
    else if (keepers.presence)
        act(Event::Touch, now);
}

bool Controller::presenceNow() const
{
    for (const InputDevice &d : inputs.devices())
        if (d.presence && !d.down.empty())
            return true;
    return false;
}

Shown Controller::shown() const
{
    if (othersDark())
        return Shown::PersonsDark;
    if (darkBy == Darkener::Here && timing.stage() != Stage::Lit)
        return timing.stage() == Stage::Off ? Shown::Off : Shown::Dimmed;
    return nightShown ? Shown::NightLevel : Shown::Lit;
}

void Controller::act(Event event, long long now)
{
    const Shown was = shown();
    const Verdict v = arbitrate(event, was, keepers, night);
    if (v != Verdict::Nothing && v != Verdict::RestartTimer)
        log.debug(std::string(nameOf(event)) + " on a screen " + nameOf(was) + ": " + nameOf(v));
    switch (v) {
    case Verdict::Nothing:
        break;
    case Verdict::RestartTimer:
        timing.input(now);
        break;
    case Verdict::Light:
    case Verdict::LightNight:
        timing.input(now);
        wake(idle::wakeRequest(v, settings.nightLevel), now);
        break;
    case Verdict::Dim:
    case Verdict::Off:
        // The timer's own verdicts, done in timer().
        break;
    case Verdict::FadeToNight:
        if (settings.nightLevel <= 0)
            break;
        fadeFor = FadeFor::Night;
        darkBy = Darkener::Here;
        nightShown = true;
        fadeStatus = screen.darken(settings.nightLevel, now);
        if (!screen.fading())
            finishFade(fadeStatus);
        break;
    case Verdict::FadeToDay:
        fadeFor = FadeFor::Day;
        fadeStatus = screen.undim(now);
        if (!screen.fading())
            finishFade(fadeStatus);
        break;
    }
}

Plan Controller::planNow() const
{
    Plan p;
    p.afterNs = night && settings.nightAfterNs > 0 ? settings.nightAfterNs : settings.afterNs;
    p.dimPercent = settings.dimPercent;
    p.offAfterNs = night && settings.nightOffAfterNs > 0 ? settings.nightOffAfterNs : settings.offAfterNs;
    return p;
}

void Controller::replan()
{
    timing.replan(planNow());
    screen.wakeAs(touchWake(night, settings.nightLevel));
}

void Controller::checkNight(long long now)
{
    const long long wallNow = wallClock();
    const NightNow n = nightAt(options.night.schedule, wallNow);
    nightDue = n.nextChange < 0 ? -1 : now + std::max(1LL, n.nextChange - wallNow) * secondNs;
    if (n.night == night)
        return;
    night = n.night;
    log.info(night ? "night begins" : "day begins");
    replan();
    act(night ? Event::NightBegins : Event::DayBegins, now);
}

void Controller::clockChanged(long long now)
{
    const IdleStatus before = status();
    if (!screen.fading())
        checkNight(now);
    notify(before);
}

void Controller::wakeRequest(long long now)
{
    const IdleStatus before = status();
    act(Event::Wake, now);
    releaseFree(now);
    notify(before);
}

void Controller::keep(Keeper keeper, bool on, long long now)
{
    const IdleStatus before = status();
    bool &held = keeper == Keeper::StayAwake ? keepers.stayAwake : keepers.inhibited;
    if (held != on) {
        held = on;
        const bool stay = keeper == Keeper::StayAwake;
        act(on ? (stay ? Event::StayAwakeOn : Event::InhibitorTaken) : (stay ? Event::StayAwakeOff : Event::InhibitorGone),
            now);
    }
    releaseFree(now);
    notify(before);
}

bool Controller::configure(const Settings &s, long long now, std::string *why)
{
    if (!validSettings(s, why))
        return false;
    const IdleStatus before = status();
    // Turned on again: the next reading is followed at once.
    if (s.ambient && !settings.ambient)
        filter = AmbientFilter();
    lightDue = lightDue && s.ambient;
    settings = s;
    replan();
    (void)now;
    notify(before);
    return true;
}

IdleStatus Controller::status() const
{
    IdleStatus s;
    s.idle = darkBy == Darkener::Here && timing.stage() != Stage::Lit;
    s.keepers = keepers;
    s.night = night;
    s.settings = settings;
    s.lux = shownLux;
    s.curve = curveText;
    return s;
}

void Controller::notify(const IdleStatus &before)
{
    if (statusChanged && status() != before)
        statusChanged();
}

} // namespace idle
