#ifndef IDLE_SETTINGS_H
#define IDLE_SETTINGS_H

// What brightness-idle lets others read and change while it runs (through
// its D-Bus service, for brightness-mqtt and so Home Assistant). The command
// line gives the first values.

#include <string>

#include "idle/arbiter.h"

namespace idle {

struct Settings {
    long long afterNs = 0;          // quiet time before the first stage
    int dimPercent = -1;            // the first stage dims to this; -1: off
    long long offAfterNs = -1;      // with a dim: dimmed time before off; -1 never
    long long nightAfterNs = -1;    // at night, instead of afterNs; -1: as by day
    long long nightOffAfterNs = -1; // at night, instead of offAfterNs; -1: as by day
    int nightLevel = -1;            // a wake at night brings at most this; -1: the remembered level
    int ambient = 0;                // 1: the room's light sets a lit screen's level (--ambient)
};

bool operator==(const Settings &a, const Settings &b);
inline bool operator!=(const Settings &a, const Settings &b) { return !(a == b); }

// The ranges the command line takes: times from 1 s to 24 h (-1 where the
// field allows it), levels from 1 to 100 %, an off-after only with a dim.
// False with a one-line reason.
bool validSettings(const Settings &settings, std::string *why);

// The bus's numbers by property name: seconds and percent, 0 for "never"
// or "as by day" where the field allows it. applyNumber: false for a name
// that is not a writable number; a value out of range stays out of range,
// for validSettings to refuse.
// AutoBrightness is 0 or 1 here, a boolean on the bus.
const char *const writableNumbers[] = {"After", "OffAfter", "NightAfter", "NightOffAfter", "NightLevel",
                                       "AutoBrightness"};
unsigned numberOf(const Settings &settings, const std::string &property);
bool applyNumber(Settings *settings, const std::string &property, unsigned value);

struct IdleStatus {
    bool idle = false;    // dimmed or off by the idle timer
    Keepers keepers;
    bool night = false;   // the night profile is in force now
    Settings settings;
    // With --ambient: the room's light as last shown (lux, rounded; -1
    // before any reading) and the curve as learned.
    double lux = -1;
    std::string curve;
};

bool operator==(const IdleStatus &a, const IdleStatus &b);
inline bool operator!=(const IdleStatus &a, const IdleStatus &b) { return !(a == b); }

} // namespace idle

#endif
