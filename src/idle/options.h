#ifndef IDLE_OPTIONS_H
#define IDLE_OPTIONS_H

// brightness-idle's command line.

#include <string>
#include <vector>

#include "control/displays.h"
#include "idle/ambient.h"
#include "idle/night.h"
#include "idle/timing.h"

namespace idle {

struct Options {
    Plan plan;
    int fadeMs = 0;
    control::Selection selection;  // -d: no node and no place for every display
    // --night and what differs then; -1: as by day.
    struct Night {
        NightSchedule schedule;
        int level = -1;             // percent a wake brings at night
        long long afterNs = -1;
        long long offAfterNs = -1;  // with a dim
    } night;
    // --ambient: the room's light sets a lit screen's level.
    struct Ambient {
        bool on = false;
        AmbientCurve curve = AmbientCurve::standard();  // --ambient-curve, before learning
        bool reset = false;  // --ambient-reset: what was learned is dropped
    } ambient;
    bool verbose = false;  // -v: the log says why
    bool resetSettings = false;  // the settings kept from the bus are dropped
    bool help = false;
    bool version = false;
};

// The quiet time before the screen goes dark when --after is not given.
const long long defaultAfterNs = 5 * 60 * 1000000000LL;

// --after, --off-after and their night forms: a number with a unit, ms, s, m or h, from 1
// second to 24 hours.
bool parseDuration(const std::string &text, long long *ns);

// False with a one-line reason (no program name) for anything else than
// the options the usage text names.
bool parseOptions(const std::vector<std::string> &args, Options *options, std::string *why);

std::string usage();

} // namespace idle

#endif
