#ifndef IDLE_ARBITER_H
#define IDLE_ARBITER_H

// Where every source that may wake, keep or darken the screen meets. They
// win in this order:
//   1. a person's command (brightness-ctl, Home Assistant's light): a
//      screen a person darkened is theirs, and nothing below lights it,
//      darkens it further or changes its level;
//   2. Home Assistant's "stay awake" switch;
//   3. an idle inhibitor lock held through logind;
//   4. presence: a sensor reporting someone there, as long as it does;
//   5. the idle timer, which dims and turns off when none of 2 to 4 holds;
//   6. the night profile, which only changes the level a lit screen shows
//      and the timer's times: it never lights a dark screen and never
//      darkens one that anything above keeps awake;
//   7. the room's light (--ambient), which only changes the level of a
//      screen lit at its own level, and learns from 1. (ambientlevel.cpp).
// The window writes no record and is unknown here (docs/state.md).

#include <string>

#include "control/screenstate.h"

namespace idle {

// What holds the screen awake besides touches.
struct Keepers {
    bool stayAwake = false;  // Home Assistant's switch
    bool inhibited = false;  // logind: an idle inhibitor lock is held
    bool presence = false;   // a presence sensor reports someone
    bool any() const { return stayAwake || inhibited || presence; }
};

// The screen as this program sees it.
enum class Shown {
    Lit,         // the remembered level
    NightLevel,  // lit by this program at the night level
    Dimmed,      // dimmed by the idle timer
    Off,         // off by the idle timer
    PersonsDark, // darkened by someone else: theirs
};

enum class Event {
    Touch,          // a key, button, touch or pointer
    Wake,           // Home Assistant's "wake" button
    PresenceBegan,
    PresenceEnded,
    StayAwakeOn,
    StayAwakeOff,
    InhibitorTaken,
    InhibitorGone,
    TimerDim,       // the quiet time is over: the first stage
    TimerOff,
    NightBegins,
    DayBegins,
};

enum class Verdict {
    Nothing,
    RestartTimer,  // the quiet time counts from now
    Dim,
    Off,
    Light,         // the remembered level
    LightNight,    // the night level, at most the remembered one
    FadeToNight,   // a lit screen fades to the night level
    FadeToDay,     // the night level fades to the remembered one
};

// What the screen does on an event. keepers: what holds after the event.
Verdict arbitrate(Event event, Shown shown, const Keepers &keepers, bool night);

// Whether the quiet time counts at all: not while something keeps the
// screen awake, nor on a screen a person darkened.
bool quietTimeCounts(Shown shown, const Keepers &keepers);

// The request a verdict that lights a screen of this program's (Light,
// LightNight, FadeToDay) hands the screen: transition() turns it into each
// display's level from that display's state, the one rule for the level a
// wake brings. nightLevel: the night's level in percent, -1 none.
control::Request wakeRequest(Verdict verdict, int nightLevel);

// What a touch would light now on a screen this program darkened: the
// request the screen prepares its reports from beforehand.
control::Request touchWake(bool night, int nightLevel);

const char *nameOf(Event event);
const char *nameOf(Shown shown);
const char *nameOf(Verdict verdict);

} // namespace idle

#endif
