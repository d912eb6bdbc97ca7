#include "idle/arbiter.h"

namespace idle {

namespace {

bool dark(Shown s)
{
    return s == Shown::Dimmed || s == Shown::Off;
}

// Someone is there, or Home Assistant says the screen is wanted.
Verdict someone(Shown shown, bool night)
{
    if (dark(shown))
        return night ? Verdict::LightNight : Verdict::Light;
    return Verdict::RestartTimer;
}

} // namespace

bool quietTimeCounts(Shown shown, const Keepers &keepers)
{
    return shown != Shown::PersonsDark && !keepers.any();
}

Verdict arbitrate(Event event, Shown shown, const Keepers &keepers, bool night)
{
    if (shown == Shown::PersonsDark)
        return Verdict::Nothing;
    switch (event) {
    case Event::Touch:
    case Event::Wake:
    case Event::PresenceBegan:
    case Event::StayAwakeOn:
        return someone(shown, night);
    case Event::InhibitorTaken:
        // A player keeps what it finds: nobody has looked at a dark screen.
        return dark(shown) ? Verdict::Nothing : Verdict::RestartTimer;
    case Event::PresenceEnded:
    case Event::StayAwakeOff:
    case Event::InhibitorGone:
        // The quiet time counts from when the last hold ended.
        return dark(shown) || keepers.any() ? Verdict::Nothing : Verdict::RestartTimer;
    case Event::TimerDim:
    case Event::TimerOff:
        if (!quietTimeCounts(shown, keepers) || (event == Event::TimerDim && shown != Shown::Lit && shown != Shown::NightLevel))
            return Verdict::Nothing;
        if (event == Event::TimerOff && shown == Shown::Off)
            return Verdict::Nothing;
        return event == Event::TimerDim ? Verdict::Dim : Verdict::Off;
    case Event::NightBegins:
        return shown == Shown::Lit ? Verdict::FadeToNight : Verdict::Nothing;
    case Event::DayBegins:
        return shown == Shown::NightLevel ? Verdict::FadeToDay : Verdict::Nothing;
    }
    return Verdict::Nothing;
}

control::Request wakeRequest(Verdict verdict, int nightLevel)
{
    // At night a wake brings at most the night's level, the remembered one
    // kept for the day; by day, and at day's begin, the remembered level.
    control::Request r;
    r.input = control::Input::IdleWake;
    r.value.percent = true;
    r.value.amount = verdict == Verdict::LightNight && nightLevel > 0 ? nightLevel : 0;
    return r;
}

control::Request touchWake(bool night, int nightLevel)
{
    return wakeRequest(arbitrate(Event::Touch, Shown::Off, Keepers(), night), nightLevel);
}

const char *nameOf(Event e)
{
    static const char *const names[] = {"touch", "wake", "presence began", "presence ended", "stay awake on",
                                        "stay awake off", "inhibitor taken", "inhibitor gone", "timer dim",
                                        "timer off", "night begins", "day begins"};
    return names[int(e)];
}

const char *nameOf(Shown s)
{
    static const char *const names[] = {"lit", "night level", "dimmed", "off", "a person's dark"};
    return names[int(s)];
}

const char *nameOf(Verdict v)
{
    static const char *const names[] = {"nothing", "restart timer", "dim", "off", "light", "light at night level",
                                        "fade to night", "fade to day"};
    return names[int(v)];
}

} // namespace idle
