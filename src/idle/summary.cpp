#include "idle/summary.h"

#include <cstdio>
#include <ctime>

namespace idle {

namespace {

const long long secondNs = 1000000000LL;

std::string duration(long long ns)
{
    const long long s = ns / secondNs;
    if (s % 3600 == 0)
        return std::to_string(s / 3600) + "h";
    if (s % 60 == 0)
        return std::to_string(s / 60) + "m";
    return std::to_string(s) + "s";
}

std::string localTime(long long t)
{
    const time_t when = time_t(t);
    tm local{};
    char text[32] = "?";
    if (localtime_r(&when, &local))
        std::strftime(text, sizeof text, "%a %H:%M", &local);
    return text;
}

// "after 5m: dim to 30%, off 5m later"
std::string stages(long long afterNs, int dim, long long offAfterNs)
{
    std::string text = "after " + duration(afterNs) + " without a touch: ";
    if (dim < 0)
        return text + "off";
    text += "dim to " + std::to_string(dim) + "%";
    return text + (offAfterNs < 0 ? ", never off" : ", off " + duration(offAfterNs) + " later");
}

} // namespace

std::string summary(const Settings &s, int fadeMs, const NightSchedule &night, long long wallNow)
{
    std::string text = stages(s.afterNs, s.dimPercent, s.offAfterNs) + "; "
        + (fadeMs > 0 ? "fades over " + std::to_string(fadeMs) + " ms" : "no fade");
    if (night.kind == NightSchedule::Kind::None)
        return text;
    const NightNow now = nightAt(night, wallNow);
    text += "; night ";
    if (night.kind == NightSchedule::Kind::Sun) {
        char place[64];
        std::snprintf(place, sizeof place, "%.2f,%.2f", night.latitude, night.longitude);
        text += std::string("from sunset to sunrise at ") + place;
    } else {
        char window[32];
        std::snprintf(window, sizeof window, "%02d:%02d-%02d:%02d", night.startMinute / 60 % 24,
                      night.startMinute % 60, night.endMinute / 60 % 24, night.endMinute % 60);
        text += window;
    }
    if (now.nextChange < 0)
        text += " (it does not come now)";
    else if (now.night)
        text += " (night now, until " + localTime(now.nextChange) + ")";
    else {
        const NightNow then = nightAt(night, now.nextChange);
        text += " (next from " + localTime(now.nextChange)
            + (then.nextChange < 0 ? std::string() : " to " + localTime(then.nextChange)) + ")";
    }
    text += ": " + stages(s.nightAfterNs > 0 ? s.nightAfterNs : s.afterNs, s.dimPercent,
                          s.nightOffAfterNs > 0 ? s.nightOffAfterNs : s.offAfterNs);
    return text + (s.nightLevel > 0 ? ", a wake brings at most " + std::to_string(s.nightLevel) + "%" : "");
}

} // namespace idle
