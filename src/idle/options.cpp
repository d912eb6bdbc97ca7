#include "idle/options.h"

#include "control/cmdline.h"

namespace idle {

namespace {

const long long msNs = 1000000LL;

// --after and --off-after: a unit is needed, as it always was.
const control::DurationRule quietRule{0, 1000, 24 * 3600 * 1000LL, 1};
const control::DurationRule fadeRule{1, 0, 600000, 1};

enum {
    AfterOption = 256, OffAfterOption, DimOption, FadeOption, VersionOption,
    NightOption, LocationOption, NightLevelOption, NightAfterOption, NightOffAfterOption, ResetOption,
    AmbientOption, AmbientCurveOption, AmbientResetOption,
};

const option longOptions[] = {
    {"after", required_argument, nullptr, AfterOption},
    {"off-after", required_argument, nullptr, OffAfterOption},
    {"dim", required_argument, nullptr, DimOption},
    {"fade", required_argument, nullptr, FadeOption},
    {"device", required_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, VersionOption},
    {"verbose", no_argument, nullptr, 'v'},
    {"night", required_argument, nullptr, NightOption},
    {"location", required_argument, nullptr, LocationOption},
    {"night-level", required_argument, nullptr, NightLevelOption},
    {"night-after", required_argument, nullptr, NightAfterOption},
    {"night-off-after", required_argument, nullptr, NightOffAfterOption},
    {"reset-settings", no_argument, nullptr, ResetOption},
    {"ambient", no_argument, nullptr, AmbientOption},
    {"ambient-curve", required_argument, nullptr, AmbientCurveOption},
    {"ambient-reset", no_argument, nullptr, AmbientResetOption},
    {nullptr, 0, nullptr, 0},
};

// What the options must agree on, checked once all are read.
struct Seen {
    bool offAfter = false;
    bool location = false;
    double latitude = 0;
    double longitude = 0;
};

void takeDuration(const char *name, const std::string &v, long long *ns, std::string *why)
{
    if (!parseDuration(v, ns))
        *why = "invalid duration '" + v + "' for '" + name + "': give 1s to 24h with a unit, such as 30s, 5m or 1h";
}

// One option and its value; false with the reason for a bad value.
bool takeOption(int val, const std::string &v, Options *o, Seen *seen, std::string *why)
{
    long long ms = 0;
    std::string problem;
    switch (val) {
    case 'h':
        o->help = true;
        break;
    case VersionOption:
        o->version = true;
        break;
    case AfterOption:
        takeDuration("--after", v, &o->plan.afterNs, why);
        break;
    case OffAfterOption:
        seen->offAfter = true;
        takeDuration("--off-after", v, &o->plan.offAfterNs, why);
        break;
    case NightAfterOption:
        takeDuration("--night-after", v, &o->night.afterNs, why);
        break;
    case NightOffAfterOption:
        takeDuration("--night-off-after", v, &o->night.offAfterNs, why);
        break;
    case NightOption:
        if (!parseNight(v, &o->night.schedule, &problem))
            *why = "invalid night '" + v + "' for '--night': " + problem;
        break;
    case LocationOption:
        seen->location = true;
        if (!parseLocation(v, &seen->latitude, &seen->longitude, &problem))
            *why = "invalid location '" + v + "' for '--location': " + problem;
        break;
    case NightLevelOption:
        if (!control::parseLevel(v, 1, &o->night.level))
            *why = "invalid level '" + v + "' for '--night-level': give a percentage from 1% to 100%";
        break;
    case DimOption:
        if (!control::parseLevel(v, 1, &o->plan.dimPercent))
            *why = "invalid level '" + v + "' for '--dim': give a percentage from 1% to 100%";
        break;
    case FadeOption:
        if (control::parseDuration(v, fadeRule, &ms))
            o->fadeMs = int(ms);
        else
            *why = "invalid fade '" + v + "': give 0 to 10m, in milliseconds (3000) or with a unit"
                   " (500ms, 3s, 1m)";
        break;
    case 'v':
        o->verbose = true;
        break;
    case ResetOption:
        o->resetSettings = true;
        break;
    case AmbientOption:
        o->ambient.on = true;
        break;
    case AmbientCurveOption:
        o->ambient.on = true;
        AmbientCurve::parse(v, &o->ambient.curve, why);
        break;
    case AmbientResetOption:
        o->ambient.reset = true;
        break;
    case 'd':
        control::parseDevice(v, &o->selection, why);
        break;
    }
    return why->empty();
}

// Options that are right alone but not together; "" when they agree.
std::string disagreement(Options *o, const Seen &seen)
{
    NightSchedule &schedule = o->night.schedule;
    if (seen.offAfter && o->plan.dimPercent < 0)
        return "'--off-after' counts from the dim: give '--dim' too, or '--after' alone to turn off";
    if (schedule.kind == NightSchedule::Kind::None) {
        const char *alone = o->night.level >= 0 ? "--night-level"
            : o->night.afterNs >= 0             ? "--night-after"
            : o->night.offAfterNs >= 0          ? "--night-off-after"
            : seen.location                     ? "--location"
                                                : nullptr;
        return alone ? std::string("'") + alone + "' is for the night: give '--night' too" : "";
    }
    if (schedule.kind == NightSchedule::Kind::Sun && !seen.location)
        return "'--night sunset-sunrise' needs the place: give '--location LAT,LON' too";
    if (schedule.kind != NightSchedule::Kind::Sun && seen.location)
        return "'--location' is for '--night sunset-sunrise' only";
    if (o->night.offAfterNs >= 0 && o->plan.dimPercent < 0)
        return "'--night-off-after' counts from the dim: give '--dim' too, or '--night-after' alone to turn off";
    schedule.latitude = seen.latitude;
    schedule.longitude = seen.longitude;
    return "";
}

} // namespace

bool parseDuration(const std::string &text, long long *ns)
{
    long long ms = 0;
    if (!control::parseDuration(text, quietRule, &ms))
        return false;
    *ns = ms * msNs;
    return true;
}

bool parseOptions(const std::vector<std::string> &args, Options *options, std::string *why)
{
    Options o;
    o.plan.afterNs = defaultAfterNs;
    Seen seen;
    why->clear();
    control::OptionReader reader(args, "hvd:", longOptions);
    // The first problem is told, unless help is asked for anywhere.
    *why = reader.readAll([&](int val, const std::string &value, std::string *problem) {
        takeOption(val, value, &o, &seen, problem);
    });
    if (o.help) {
        why->clear();
    } else if (!why->empty()) {
        return false;
    } else if (!(*why = disagreement(&o, seen)).empty()) {
        return false;
    }
    *options = o;
    return true;
}

std::string usage()
{
    return "Usage: brightness-idle [--after TIME] [--dim P%] [--off-after TIME]\n"
           "                       [--fade TIME] [-d DEV]\n"
           "                       [--night HH:MM-HH:MM | --night sunset-sunrise --location LAT,LON]\n"
           "                       [--night-level P%] [--night-after TIME] [--night-off-after TIME]\n"
           "                       [--ambient] [--ambient-curve LUX:P%,...] [--ambient-reset]\n"
           "\n"
           "Turns the display's backlight off when nobody has touched an input device\n"
           "for a while, and back on at the first touch, which reaches no application.\n"
           "\n"
           "  --after TIME          quiet time before the screen dims or turns off (default 5m)\n"
           "  --dim P%              dim to P% first instead of turning off\n"
           "  --off-after TIME      with --dim: time dimmed before the screen turns off\n"
           "  --fade TIME           fade each change over TIME; waking is at once\n"
           "  -d, --device DEV      only the display at DEV: /dev/hidrawN or its bus place\n"
           "  --night WHEN          the night: local times HH:MM-HH:MM, or sunset-sunrise\n"
           "  --location LAT,LON    where the sun is reckoned, in degrees north and east\n"
           "  --night-level P%      at night a wake brings P%; the remembered level stays\n"
           "  --night-after TIME    --after at night\n"
           "  --night-off-after TIME  --off-after at night, with --dim\n"
           "  --reset-settings      drop the times and levels set over the bus; these hold\n"
           "  --ambient             a light sensor's lux set a lit screen's level, learning\n"
           "                        from the levels people set\n"
           "  --ambient-curve LUX:P%,...  the lux-to-level points (default\n"
           "                        5:10%,50:35%,500:70%,5000:100%); implies --ambient\n"
           "  --ambient-reset       forget the levels learned from people\n"
           "  -v, --verbose         log why the screen dims, wakes or goes dark, and what is watched\n"
           "  -h, --help            show this help\n"
           "  --version             show the version\n"
           "\n"
           "TIME is a number with a unit, ms, s, m or h: from 1s to 24h for --after,\n"
           "--off-after and their night forms, up to 10m for --fade, where a number alone\n"
           "counts milliseconds (--fade 3000 is 3s). '--' ends the options.\n";
}

} // namespace idle
