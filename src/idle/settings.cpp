#include "idle/settings.h"

#include <tuple>

namespace idle {

namespace {

const long long secondNs = 1000000000LL;
const long long dayNs = 24 * 3600 * secondNs;

bool validTime(long long ns, bool never)
{
    return (never && ns == -1) || (ns >= secondNs && ns <= dayNs);
}

bool validLevel(int percent, bool none)
{
    return (none && percent == -1) || (percent >= 1 && percent <= 100);
}

unsigned seconds(long long ns, bool zeroIsNever)
{
    return ns < 0 && zeroIsNever ? 0 : unsigned((ns + secondNs / 2) / secondNs);
}

auto tied(const Settings &s)
{
    return std::tie(s.afterNs, s.dimPercent, s.offAfterNs, s.nightAfterNs, s.nightOffAfterNs, s.nightLevel, s.ambient);
}

} // namespace

bool operator==(const Settings &a, const Settings &b)
{
    return tied(a) == tied(b);
}

bool operator==(const IdleStatus &a, const IdleStatus &b)
{
    return a.idle == b.idle && a.keepers.stayAwake == b.keepers.stayAwake && a.keepers.inhibited == b.keepers.inhibited
        && a.keepers.presence == b.keepers.presence && a.night == b.night && a.settings == b.settings
        && a.lux == b.lux && a.curve == b.curve;
}

bool validSettings(const Settings &s, std::string *why)
{
    if (!validTime(s.afterNs, false) || !validTime(s.nightAfterNs, true))
        *why = "the quiet time must be 1s to 24h";
    else if (!validTime(s.offAfterNs, true) || !validTime(s.nightOffAfterNs, true))
        *why = "the time before off must be 1s to 24h, or never";
    else if (!validLevel(s.dimPercent, true) || !validLevel(s.nightLevel, true))
        *why = "a level must be 1% to 100%";
    else if (s.dimPercent < 0 && (s.offAfterNs >= 0 || s.nightOffAfterNs >= 0))
        *why = "a time before off needs a dim first";
    else if (s.ambient != 0 && s.ambient != 1)
        *why = "auto brightness is on (1) or off (0)";
    else
        return true;
    return false;
}

unsigned numberOf(const Settings &s, const std::string &property)
{
    if (property == "After")
        return seconds(s.afterNs, false);
    if (property == "OffAfter")
        return seconds(s.offAfterNs, true);
    if (property == "NightAfter")
        return seconds(s.nightAfterNs, true);
    if (property == "NightOffAfter")
        return seconds(s.nightOffAfterNs, true);
    if (property == "DimLevel")
        return s.dimPercent < 0 ? 0 : unsigned(s.dimPercent);
    if (property == "AutoBrightness")
        return unsigned(s.ambient);
    return s.nightLevel < 0 ? 0 : unsigned(s.nightLevel);
}

bool applyNumber(Settings *s, const std::string &property, unsigned value)
{
    // Out of range stays out of range, for validSettings to refuse.
    const long long ns = value * secondNs;
    const long long orNever = value == 0 ? -1 : ns;
    if (property == "After")
        s->afterNs = ns;
    else if (property == "OffAfter")
        s->offAfterNs = orNever;
    else if (property == "NightAfter")
        s->nightAfterNs = orNever;
    else if (property == "NightOffAfter")
        s->nightOffAfterNs = orNever;
    else if (property == "NightLevel")
        s->nightLevel = value == 0 ? -1 : value > 1000 ? 1000 : int(value);
    else if (property == "AutoBrightness")
        s->ambient = value > 1 ? 2 : int(value);
    else
        return false;
    return true;
}

} // namespace idle
