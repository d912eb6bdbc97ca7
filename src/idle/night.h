#ifndef IDLE_NIGHT_H
#define IDLE_NIGHT_H

// When it is night for brightness-idle: a window of the local clock, or from
// sunset to sunrise at a place. Pure: the wall time is given, and the local
// time zone is whatever TZ (or /etc/localtime) says when asked.

#include <string>

namespace idle {

struct NightSchedule {
    enum class Kind { None, Clock, Sun } kind = Kind::None;
    // Clock: minutes after local midnight, the end possibly on the next day;
    // never equal.
    int startMinute = 0;
    int endMinute = 0;
    // Sun: degrees, north and east positive.
    double latitude = 0;
    double longitude = 0;
};

// "HH:MM-HH:MM" (a clock window, such as 22:30-06:00) or "sunset-sunrise",
// whose place is left for parseLocation. False with a one-line reason.
bool parseNight(const std::string &text, NightSchedule *schedule, std::string *why);

// "LAT,LON" in decimal degrees, such as 52.52,13.40 or -33.9,18.4.
bool parseLocation(const std::string &text, double *latitude, double *longitude, std::string *why);

struct NightNow {
    bool night;
    long long nextChange;  // seconds since the epoch; -1: never
};

// Whether it is night at wallSeconds (seconds since the epoch), and the
// next moment, strictly later, at which that changes.
//
// A clock window's edges are local wall times. An edge at a time the clock
// skips (02:30 on the day it jumps from 02:00 to 03:00) happens at the
// first instant after the jump (03:00); an edge at a time the clock passes
// twice happens at the first pass only. Both edges in one skipped stretch
// make no night that day.
//
// Sun: night from each sunset to the next sunrise; on a day without sunset
// the night does not come, on a day without sunrise it does not end. When
// nothing changes for days, nextChange is the next local midnight, when
// asking again is right.
//
// None: never night, nextChange -1.
NightNow nightAt(const NightSchedule &schedule, long long wallSeconds);

} // namespace idle

#endif
