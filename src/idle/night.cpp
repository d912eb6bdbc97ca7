#include "idle/night.h"

#include <time.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "idle/sun.h"

namespace idle {

namespace {

const long long daySeconds = 86400;

long long floorDiv(long long a, long long b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// The local clock's offset from UTC at an instant, in seconds.
long long offsetAt(long long t)
{
    const time_t tt = time_t(t);
    tm local{};
    return localtime_r(&tt, &local) ? local.tm_gmtoff : 0;
}

// The local date of an instant, as days since 1970-01-01.
long long localDay(long long t)
{
    return floorDiv(t + offsetAt(t), daySeconds);
}

// The instant at which the local clock reads a minute of a local day: the
// first such instant when it reads it twice, the first instant after the
// jump when it skips it.
long long wallInstant(long long day, int minute)
{
    const long long wall = day * daySeconds + minute * 60LL;
    auto wallAt = [](long long t) { return t + offsetAt(t); };
    // The offsets in force a day either side cover any change of the clock
    // near this wall time.
    const long long before = offsetAt(wall - daySeconds);
    const long long after = offsetAt(wall + daySeconds);
    long long first = -1;
    bool found = false;
    for (long long offset : {before, after}) {
        const long long t = wall - offset;
        if (wallAt(t) == wall && (!found || t < first)) {
            first = t;
            found = true;
        }
    }
    if (found)
        return first;
    // Skipped: the first instant whose wall time is past it.
    long long low = wall - std::max(before, after);  // reads earlier
    long long high = wall - std::min(before, after);  // reads later
    while (high - low > 1) {
        const long long mid = low + (high - low) / 2;
        (wallAt(mid) > wall ? high : low) = mid;
    }
    return high;
}

long long nextLocalMidnight(long long t)
{
    long long midnight = 0;
    for (long long day = localDay(t) + 1; (midnight = wallInstant(day, 0)) <= t; ++day) {}
    return midnight;
}

struct Edge {
    long long at;
    bool night;  // night from here on
};

// Whether edges, in the order they come, make it night at t, and when that
// changes next; nightBefore: the state before the first edge.
NightNow walk(std::vector<Edge> edges, bool nightBefore, long long t)
{
    // Edges come in the order they happen; one reckoned a moment before the
    // edge it follows (a sunrise near the polar day) happens with it.
    for (std::size_t i = 1; i < edges.size(); ++i)
        edges[i].at = std::max(edges[i].at, edges[i - 1].at);
    bool night = nightBefore;
    std::size_t i = 0;
    for (; i < edges.size() && edges[i].at <= t; ++i)
        night = edges[i].night;
    while (i < edges.size()) {
        const long long at = edges[i].at;
        bool then = night;
        for (; i < edges.size() && edges[i].at == at; ++i)
            then = edges[i].night;
        if (then != night)
            return {night, at};
    }
    return {night, nextLocalMidnight(t)};
}

NightNow clockNight(const NightSchedule &s, long long t)
{
    const bool acrossMidnight = s.startMinute > s.endMinute;
    std::vector<Edge> edges;
    const long long today = localDay(t);
    for (long long day = today - 1; day <= today + 2; ++day) {
        const Edge start{wallInstant(day, s.startMinute), true};
        const Edge end{wallInstant(day, s.endMinute), false};
        edges.push_back(acrossMidnight ? end : start);
        edges.push_back(acrossMidnight ? start : end);
    }
    return walk(edges, !edges.front().night, t);
}

NightNow sunNight(const NightSchedule &s, long long t)
{
    // Days of the place's mean solar time, which sunDay counts in.
    const long long today = floorDiv(t + std::llround(s.longitude * 240.0), daySeconds);
    std::vector<Edge> edges;
    for (long long day = today - 3; day <= today + 3; ++day) {
        const SunDay sun = sunDay(day, s.latitude, s.longitude);
        if (sun.kind == SunKind::RiseAndSet || sun.kind == SunKind::RiseOnly)
            edges.push_back({sun.rise, false});
        // A day up or down all day is so at its noon at least, whatever the
        // days beside it say.
        if (sun.kind == SunKind::PolarDay || sun.kind == SunKind::PolarNight)
            edges.push_back({day * daySeconds + std::llround((720 - 4 * s.longitude) * 60),
                             sun.kind == SunKind::PolarNight});
        if (sun.kind == SunKind::RiseAndSet || sun.kind == SunKind::SetOnly)
            edges.push_back({sun.set, true});
    }
    return walk(edges, !edges.front().night, t);
}

// Decimal degrees: an optional sign, digits, and a fraction after a point.
bool parseDegrees(const std::string &text, double *value)
{
    std::size_t i = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
    const std::size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    if (i == digits || i - digits > 3)
        return false;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fraction = ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        if (i == fraction)
            return false;
    }
    if (i != text.size())
        return false;
    const char *begin = text.data() + (text[0] == '+' ? 1 : 0);
    double v = 0;
    if (std::from_chars(begin, text.data() + text.size(), v).ec != std::errc())
        return false;
    *value = v;
    return true;
}

// "H:MM" or "HH:MM" as minutes after midnight, or -1.
int parseClock(const std::string &text)
{
    const std::size_t colon = text.find(':');
    if (colon < 1 || colon > 2 || text.size() != colon + 3)
        return -1;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (i != colon && (text[i] < '0' || text[i] > '9'))
            return -1;
    const int hours = std::stoi(text.substr(0, colon));
    const int minutes = std::stoi(text.substr(colon + 1));
    return hours < 24 && minutes < 60 ? hours * 60 + minutes : -1;
}

} // namespace

bool parseNight(const std::string &text, NightSchedule *schedule, std::string *why)
{
    NightSchedule s;
    if (text == "sunset-sunrise") {
        s.kind = NightSchedule::Kind::Sun;
        *schedule = s;
        return true;
    }
    const std::size_t dash = text.find('-');
    const int start = dash == std::string::npos ? -1 : parseClock(text.substr(0, dash));
    const int end = dash == std::string::npos ? -1 : parseClock(text.substr(dash + 1));
    if (start < 0 || end < 0) {
        *why = "give HH:MM-HH:MM in local time, such as 22:30-06:00, or sunset-sunrise";
        return false;
    }
    if (start == end) {
        *why = "it starts when it ends";
        return false;
    }
    s.kind = NightSchedule::Kind::Clock;
    s.startMinute = start;
    s.endMinute = end;
    *schedule = s;
    return true;
}

bool parseLocation(const std::string &text, double *latitude, double *longitude, std::string *why)
{
    const std::size_t comma = text.find(',');
    double lat = 0;
    double lon = 0;
    if (comma == std::string::npos || !parseDegrees(text.substr(0, comma), &lat)
        || !parseDegrees(text.substr(comma + 1), &lon)) {
        *why = "give LAT,LON in decimal degrees, north and east positive, such as 52.52,13.40";
        return false;
    }
    if (std::fabs(lat) > 90 || std::fabs(lon) > 180) {
        *why = std::fabs(lat) > 90 ? "the latitude is from -90 to 90" : "the longitude is from -180 to 180";
        return false;
    }
    *latitude = lat;
    *longitude = lon;
    return true;
}

NightNow nightAt(const NightSchedule &schedule, long long wallSeconds)
{
    // A time zone set while running counts from the next question on.
    tzset();
    switch (schedule.kind) {
    case NightSchedule::Kind::Clock:
        return clockNight(schedule, wallSeconds);
    case NightSchedule::Kind::Sun:
        return sunNight(schedule, wallSeconds);
    case NightSchedule::Kind::None:
        break;
    }
    return {false, -1};
}

} // namespace idle
