#include "idle/sun.h"

#include <algorithm>
#include <cmath>

namespace idle {

namespace {

const double pi = 3.14159265358979323846;

double rad(double deg) { return deg * pi / 180.0; }
double deg(double rad) { return rad * 180.0 / pi; }

// The sun as seen from the earth at a moment, in Julian centuries since
// J2000.0.
struct Position {
    double declination;  // radians
    double equationOfTime;  // minutes
};

Position position(double t)
{
    const double meanLongitude = std::fmod(280.46646 + t * (36000.76983 + t * 0.0003032), 360.0);
    const double meanAnomaly = rad(357.52911 + t * (35999.05029 - 0.0001537 * t));
    const double eccentricity = 0.016708634 - t * (0.000042037 + 0.0000001267 * t);
    const double centre = std::sin(meanAnomaly) * (1.914602 - t * (0.004817 + 0.000014 * t))
        + std::sin(2 * meanAnomaly) * (0.019993 - 0.000101 * t) + std::sin(3 * meanAnomaly) * 0.000289;
    const double omega = rad(125.04 - 1934.136 * t);
    const double apparentLongitude = rad(meanLongitude + centre - 0.00569 - 0.00478 * std::sin(omega));
    const double meanObliquity = 23.0 + (26.0 + (21.448 - t * (46.8150 + t * (0.00059 - t * 0.001813))) / 60.0) / 60.0;
    const double obliquity = rad(meanObliquity + 0.00256 * std::cos(omega));

    const double l0 = rad(meanLongitude);
    const double y = std::pow(std::tan(obliquity / 2), 2);
    const double e = y * std::sin(2 * l0) - 2 * eccentricity * std::sin(meanAnomaly)
        + 4 * eccentricity * y * std::sin(meanAnomaly) * std::cos(2 * l0)
        - 0.5 * y * y * std::sin(4 * l0) - 1.25 * eccentricity * eccentricity * std::sin(2 * meanAnomaly);
    return {std::asin(std::sin(obliquity) * std::sin(apparentLongitude)), 4 * deg(e)};
}

// Julian centuries since J2000.0 at a Julian day.
double century(double julianDay) { return (julianDay - 2451545.0) / 36525.0; }

// The cosine of the hour angle at which the sun's centre is 0.833 degrees
// below the horizon: above 1 it never gets that high, below -1 never that low.
double cosHourAngle(double latitude, double declination)
{
    return std::cos(rad(90.833)) / (std::cos(latitude) * std::cos(declination))
        - std::tan(latitude) * std::tan(declination);
}

} // namespace

long long dayNumber(int year, int month, int day)
{
    // Howard Hinnant's days_from_civil.
    const long long y = year - (month <= 2);
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

SunDay sunDay(long long day, double latitude, double longitude)
{
    // The poles themselves have no direction to the east: just beside them
    // the answer is the same.
    const double lat = rad(std::clamp(latitude, -89.999, 89.999));
    const double midnightJd = double(day) + 2440587.5;  // 0h UTC of the day

    // Minutes after 0h UTC of the event on the side of noon given by sign
    // (+1 rise, -1 set), the sun's place taken at the given minute; NaN when
    // the sun does not reach the horizon then.
    auto event = [&](int sign, double atMinute, SunKind *none) {
        const Position p = position(century(midnightJd + atMinute / 1440.0));
        const double c = cosHourAngle(lat, p.declination);
        if (c > 1 || c < -1) {
            *none = c > 1 ? SunKind::PolarNight : SunKind::PolarDay;
            return std::nan("");
        }
        const double hourAngle = deg(std::acos(c));
        return 720.0 - 4.0 * (longitude + sign * hourAngle) - p.equationOfTime;
    };

    const double noon = 720.0 - 4.0 * longitude;
    double minutes[2];
    SunKind missed[2] = {SunKind::RiseAndSet, SunKind::RiseAndSet};
    for (int i = 0; i < 2; ++i) {
        const int sign = i == 0 ? 1 : -1;
        double m = event(sign, noon, &missed[i]);
        // Up all day by noon's reckoning, the sun may still dip below the
        // horizon around the midnight on this side, where it is lowest.
        if (std::isnan(m) && missed[i] == SunKind::PolarDay)
            m = event(sign, noon - sign * 720.0, &missed[i]);
        // The sun moves on meanwhile: twice more with its place at the
        // estimate. Should it miss the horizon then, there is no such event:
        // it is that close to the polar day or night.
        for (int pass = 0; pass < 2 && !std::isnan(m); ++pass)
            m = event(sign, m, &missed[i]);
        minutes[i] = m;
    }
    const bool rises = !std::isnan(minutes[0]);
    const bool sets = !std::isnan(minutes[1]);
    SunDay result;
    result.kind = rises && sets ? SunKind::RiseAndSet
        : rises                 ? SunKind::RiseOnly
        : sets                  ? SunKind::SetOnly
                                : missed[0];
    const long long midnight = day * 86400;
    if (rises)
        result.rise = midnight + std::llround(minutes[0] * 60.0);
    if (sets)
        result.set = midnight + std::llround(minutes[1] * 60.0);
    return result;
}

} // namespace idle
