#include "options.h"

#include "cmdline.h"

namespace idle {

namespace {

const long long msNs = 1000000LL;

// --after and --off-after: a unit is needed, as it always was.
const control::DurationRule quietRule{0, 1000, 24 * 3600 * 1000LL, 1};
const control::DurationRule fadeRule{1, 0, 600000, 1};

enum { AfterOption = 256, OffAfterOption, DimOption, FadeOption, VersionOption };

const option longOptions[] = {
    {"after", required_argument, nullptr, AfterOption},
    {"off-after", required_argument, nullptr, OffAfterOption},
    {"dim", required_argument, nullptr, DimOption},
    {"fade", required_argument, nullptr, FadeOption},
    {"device", required_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, VersionOption},
    {"verbose", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

// One option and its value; false with the reason for a bad value.
bool takeOption(int val, const std::string &v, Options *o, bool *offGiven, std::string *why)
{
    long long ms = 0;
    switch (val) {
    case 'h':
        o->help = true;
        break;
    case VersionOption:
        o->version = true;
        break;
    case AfterOption:
    case OffAfterOption: {
        const bool off = val == OffAfterOption;
        *offGiven |= off;
        if (!parseDuration(v, off ? &o->plan.offAfterNs : &o->plan.afterNs))
            *why = "invalid duration '" + v + "' for '" + (off ? "--off-after" : "--after")
                + "': give 1s to 24h with a unit, such as 30s, 5m or 1h";
        break;
    }
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
    case 'd':
        control::parseDevice(v, &o->selection, why);
        break;
    }
    return why->empty();
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
    bool offGiven = false;
    why->clear();
    control::OptionReader reader(args, "hvd:", longOptions);
    // The first problem is told, unless help is asked for anywhere.
    *why = reader.readAll([&](int val, const std::string &value, std::string *problem) {
        takeOption(val, value, &o, &offGiven, problem);
    });
    if (o.help) {
        why->clear();
    } else if (!why->empty()) {
        return false;
    } else if (offGiven && o.plan.dimPercent < 0) {
        *why = "'--off-after' counts from the dim: give '--dim' too, or '--after' alone to turn off";
        return false;
    }
    *options = o;
    return true;
}

std::string usage()
{
    return "Usage: brightness-idle [--after TIME] [--dim P%] [--off-after TIME]\n"
           "                       [--fade TIME] [-d DEV]\n"
           "\n"
           "Turns the display's backlight off when nobody has touched an input device\n"
           "for a while, and back on at the first touch, which reaches no application.\n"
           "\n"
           "  --after TIME          quiet time before the screen dims or turns off (default 5m)\n"
           "  --dim P%              dim to P% first instead of turning off\n"
           "  --off-after TIME      with --dim: time dimmed before the screen turns off\n"
           "  --fade TIME           fade each change over TIME; waking is at once\n"
           "  -d, --device DEV      only the display at DEV: /dev/hidrawN or its bus place\n"
           "  -v, --verbose         log why the screen dims, wakes or goes dark, and what is watched\n"
           "  -h, --help            show this help\n"
           "  --version             show the version\n"
           "\n"
           "TIME is a number with a unit, ms, s, m or h: from 1s to 24h for --after and\n"
           "--off-after, up to 10m for --fade, where a number alone counts milliseconds\n"
           "(--fade 3000 is 3s). '--' ends the options.\n";
}

} // namespace idle
