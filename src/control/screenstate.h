#ifndef CONTROL_SCREENSTATE_H
#define CONTROL_SCREENSTATE_H

// What a display is, as every program that sets it sees it, and what each
// request does to it: one pure function, so that brightness-ctl,
// brightness-idle and brightness-mqtt agree, and so that docs/state.md can
// be checked against it cell by cell.

#include "control/values.h"

namespace control {

// A remembered level of 0: nothing remembered yet.
const int nothingRemembered = 0;

// The level a relative step or On starts from for a display with nothing
// remembered: where the window's slider starts, since the display cannot be
// read back.
const int firstUseLevel = 100;

// The floor for relative steps and restores when none is given.
const int defaultFloor = 5;

enum class Power {
    On,      // the remembered level
    Off,
    Dimmed,  // to dim, by idle
};

// Who darkened a display that is off or dimmed.
enum class By {
    Person,  // a person or a script: brightness-ctl, brightness-mqtt, the window
    Idle,    // brightness-idle, which alone may light it again on its own
};

struct ScreenState {
    int level = nothingRemembered;  // 1 to 100, or nothingRemembered
    Power power = Power::On;
    int dim = 0;                    // Dimmed: the level shown, 1 to 100
    By by = By::Person;             // Off and Dimmed only; Dimmed is always Idle
};

bool operator==(const ScreenState &a, const ScreenState &b);
inline bool operator!=(const ScreenState &a, const ScreenState &b) { return !(a == b); }

// The level a display shows: 0 when off; firstUseLevel when it is on with
// nothing remembered, since it cannot be read back.
int shownOf(const ScreenState &s);

enum class Input {
    Set,       // brightness-ctl set VALUE: absolute or relative
    On,        // brightness-ctl on, MQTT ON
    Off,       // brightness-ctl off, MQTT OFF
    Toggle,
    Restore,   // the remembered level, at least the floor, lit
    IdleDim,   // to value's level at most
    IdleOff,
    IdleWake,
};

struct Request {
    Input input = Input::Set;
    Value value;            // Set: as given; IdleDim: percent; IdleWake: a cap in percent, 0 none
    int floor = defaultFloor;  // Set relative, Restore
    bool stayOff = false;   // Set: an off display only has its remembered level changed
};

// A message the caller owes the person, besides the write.
enum class Note {
    None,
    FirstUse,     // nothing remembered: started from firstUseLevel
    StaysDark,    // a step down (or of 0) on a display that is off: nothing done
    NotIdles,     // idle's request on a display someone else darkened: left alone
    NothingToRestore,
};

// What a request does: the state after it and the level written to the
// display (noWrite: nothing is written, though the state may change).
const int noWrite = -1;
struct Transition {
    ScreenState next;
    int write = noWrite;
    Note note = Note::None;
};

// The rules, for every request and state:
// - 0 is off: an absolute 0, or a relative step that ends at 0 (floor 0%),
//   turns the display off and keeps the remembered level.
// - A step down (or of 0) on a display that is off does nothing; a step up
//   lights it from 0, at least at the floor.
// - stayOff: an off display keeps dark and has its remembered level set (a
//   relative value counts from the remembered level); on or dimmed, as
//   without it.
// - On, or a step, with nothing remembered starts from firstUseLevel.
// - Idle never brightens (its dim is at most what is shown), and lights
//   only what it darkened itself; an off by anyone else is left as it is.
// - An off by a person is a person's, even over idle's off or dim.
// - Idle's wake with a cap (the night's level) lights at most the cap and
//   keeps the remembered level: the display counts as dimmed by idle.
// - Restore with nothing remembered does nothing.
Transition transition(const Request &request, const ScreenState &state);

// The state an entry of the record describes; null: nothing remembered, on.
ScreenState stateOf(const Entry *entry);

// An entry's level, shown and darkener set from a state.
void putState(const ScreenState &state, Entry *entry);

} // namespace control

#endif
