#ifndef CONTROL_FADE_H
#define CONTROL_FADE_H

// Writing levels to displays with memory: at once, or as a fade of evenly
// spaced steps that gives way to any newer request on the same display. A
// fade never waits by itself: the caller's loop asks when the next step is
// due and calls step() then, so that a daemon keeps serving everything else
// in between and a command line program decides how a signal ends it.

#include <vector>

#include "control/displays.h"
#include "control/session.h"
#include "control/environment.h"
#include "control/screenstate.h"
#include "control/store.h"
#include "control/values.h"

namespace control {

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
    Value value;     // Set: as given; Restore: the remembered level; Dim: the level; IdleWake: a cap, 0 none
    int start = -1;  // the level a fade starts from; -1: set at once
    int target = 0;
    int keep = -1;   // the remembered level a fade's steps leave as it is; -1: they set it
    ScreenState after;         // the state the last write leaves
    bool recordOnly = false;   // nothing to write, the record changed
    unsigned long serial = 0;  // the claim of a fade in progress
    bool claimed = false;
    bool active = true;
    int written = -1;          // the last level that reached the display
    // What the caller has written to the display itself, when it needed the
    // level there before the record could be read: recorded, not sent twice.
    int showing = -1;
};

struct FadePlan {
    int floor = defaultFloor;  // for relative steps and restores
    int fadeMs = 0;            // 0: at once
    int lockWaitMs = Store::defaultLockWaitMs;
    bool stayOff = false;      // Set: a display that is off stays off
    // The record's last write is not flushed: the caller makes it durable
    // later (Session::rewrite, then close(true)), to flush many in one.
    bool deferSync = false;
};

// One request on a set of displays. start() plans each job from the record
// by the rules of transition() (screenstate.h), says its notes, and writes
// what has nothing to fade; the rest is written by step() at evenly spaced
// times from start(). Without a usable record, requests that would start
// from firstUseLevel are refused. The displays' file
// descriptors stay the caller's and must stay open until done().
class Fade
{
public:
    Fade(const Environment &env, const FadePlan &plan);
    Fade(const Fade &) = delete;
    Fade &operator=(const Fade &) = delete;

    // A Status. now: the monotonic time, nanoseconds.
    int start(std::vector<Job> jobs, long long now);
    // When step() has something to write; -1 once the fade is over.
    long long due() const;
    // Writes the latest step due by now (a late loop skips steps, never
    // time); nothing when called early. A Status.
    int step(long long now);
    // No further writes; the record keeps what reached the displays.
    void cancel();
    // Ends the fade for a stop signal: what reached the displays is made
    // durable, and said.
    void interrupt();
    bool done() const { return due() < 0; }

    const std::vector<Job> &jobs() const { return work; }
    // The record's lock was there to take but not had in time.
    bool lockMissed() const { return missed; }

private:
    void finish();

    Environment env;
    Session session;
    FadePlan plan;
    std::vector<Job> work;
    long long began = 0;
    int steps = 1;
    int next = 1;  // the step step() writes next
    bool missed = false;
    bool over = true;
};

} // namespace control

#endif
