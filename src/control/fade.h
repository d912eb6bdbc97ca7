#ifndef CTL_FADE_H
#define CTL_FADE_H

// Writing levels to displays with memory: at once, or as a fade of evenly
// spaced steps that gives way to any newer request on the same display.

#include <vector>

#include "displays.h"
#include "environment.h"
#include "values.h"

namespace ctl {

// The floor for relative steps and restores when none is given.
const int defaultFloor = 5;
// A fade writes at most this often.
const int fadeIntervalMs = 20;

// One display a request writes to.
struct Job {
    Display display;
    Value value;     // set: as given; restore: the remembered level
    int start = -1;  // the level a fade starts from; -1: set at once
    int target = 0;
    unsigned long serial = 0;  // the claim of a fade in progress
    bool claimed = false;
    bool active = true;
    int written = -1;          // the last level that reached the display
};

struct Plan {
    bool restoring = false;  // levels from the record, lifted to the floor
    int floor = defaultFloor;
    int fadeMs = 0;          // 0: at once
};

// Plans each job's start and target from the record, then writes. Relative
// values need a remembered level; a display without one is refused. Returns
// a Status, or 128 + the signal that stopped a fade.
int applyJobs(std::vector<Job> &jobs, const Plan &plan, const Environment &env);

} // namespace ctl

#endif
