#ifndef CTL_FADE_H
#define CTL_FADE_H

// Writing levels to displays with memory: at once, or as a fade of evenly
// spaced steps that gives way to any newer request on the same display.

#include <vector>

#include "displays.h"
#include "environment.h"
#include "screenstate.h"
#include "store.h"
#include "values.h"

namespace ctl {

// A fade writes at most this often.
const int fadeIntervalMs = 20;

enum class Action {
    Set,      // the value becomes the remembered level
    Restore,  // the remembered level again, at least the floor
    On,       // the remembered level again; 100 % when there is none
    Off,      // 0, keeping the remembered level
    Dim,      // brightness-idle's dim: the value at most, keeping the remembered level
    Toggle,   // On when the display is off, else Off
    IdleOff,  // brightness-idle's off: only a display that is on or dimmed
    IdleWake, // brightness-idle's wake: only a display idle darkened
};

// One display a request writes to.
struct Job {
    Display display;
    Action action = Action::Set;
    Value value;     // Set: as given; Restore: the remembered level; Dim: the level
    int start = -1;  // the level a fade starts from; -1: set at once
    int target = 0;
    int keep = -1;   // the remembered level a fade's steps leave as it is; -1: they set it
    ScreenState after;         // the state the last write leaves
    bool recordOnly = false;   // nothing to write, the record changed
    unsigned long serial = 0;  // the claim of a fade in progress
    bool claimed = false;
    bool active = true;
    int written = -1;          // the last level that reached the display
};

struct Plan {
    int floor = defaultFloor;  // for relative steps and restores
    int fadeMs = 0;            // 0: at once
    int lockWaitMs = Store::defaultLockWaitMs;
    bool stayOff = false;      // Set: a display that is off stays off
};

// Plans each job from the record by the rules of transition()
// (screenstate.h), says its notes, then writes. Without a usable record,
// requests that would start from firstUseLevel are refused. Returns a
// Status, or 128 + the signal that stopped a fade. lockMissed, when given:
// set when the record's lock was there to take but not had in time.
int applyJobs(std::vector<Job> &jobs, const Plan &plan, const Environment &env, bool *lockMissed = nullptr);

// One job per display, all with this action and value, then applyJobs.
int applyTo(const std::vector<Display> &displays, Action action, const Value &value, const Plan &plan,
            const Environment &env);

} // namespace ctl

#endif
