#ifndef IDLE_SUN_H
#define IDLE_SUN_H

// Sunrise and sunset from NOAA's solar position formulas, computed here
// without a network: the upper limb at the horizon with standard refraction
// (the centre 0.833 degrees below it). Agrees with almanacs within a minute
// or two between the polar circles, somewhat less close right beside them.

namespace idle {

enum class SunKind {
    RiseAndSet,  // rise and set are given
    PolarDay,    // no sunset: the sun stays up all day
    PolarNight,  // no sunrise: the sun stays down all day
    // Where the midnight sun begins and ends, the short night around
    // midnight falls on the day before or after:
    RiseOnly,  // the last short night ends, and the sun does not set
    SetOnly,   // the sun, up since the midnight before, sets
};

struct SunDay {
    SunKind kind = SunKind::RiseAndSet;
    long long rise = 0;  // seconds since the epoch (UTC); with RiseAndSet, RiseOnly
    long long set = 0;   // with RiseAndSet, SetOnly
};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long dayNumber(int year, int month, int day);

// The sun on one day at a place: latitude north, longitude east, in degrees.
// The day is the place's own (mean solar) date, as an almanac for the place
// gives it: the rise before and the set after that day's noon there, which
// may fall on another date in UTC.
SunDay sunDay(long long day, double latitude, double longitude);

} // namespace idle

#endif
