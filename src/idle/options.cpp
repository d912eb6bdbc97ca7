#include "options.h"

#include <cstdlib>

#include "values.h"

namespace idle {

namespace {

const long long second = 1000000000LL;

// Takes an option's value from "--name=value" or from the next argument.
bool optionValue(const std::vector<std::string> &args, std::size_t *i, const std::string &name,
                 std::string *value, std::string *why)
{
    const std::string &arg = args[*i];
    if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
        *value = arg.substr(name.size() + 1);
        return true;
    }
    if (arg != name)
        return false;
    if (*i + 1 >= args.size()) {
        *why = "'" + name + "' needs a value";
        value->clear();
        return true;
    }
    *value = args[++*i];
    return true;
}

bool parseDim(const std::string &text, int *percent)
{
    ctl::Value value;
    if (!ctl::parseValue(text, &value) || value.relative)
        return false;
    *percent = ctl::targetLevel(value, 0, 0);
    return *percent > 0;
}

bool parseFade(const std::string &text, int *ms)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > 600000)
        return false;
    *ms = static_cast<int>(value);
    return true;
}

// One option at args[*i]; false with the reason when it is not one.
bool parseOne(const std::vector<std::string> &args, std::size_t *i, Options *o, bool *offGiven,
              std::string *why)
{
    const std::string &arg = args[*i];
    std::string v;
    if (arg == "-h" || arg == "--help") {
        o->help = true;
    } else if (arg == "--version") {
        o->version = true;
    } else if (optionValue(args, i, "--after", &v, why)) {
        if (why->empty() && !parseDuration(v, &o->plan.afterNs))
            *why = "invalid duration '" + v + "' for '--after': give 1s to 24h, such as 30s, 5m or 1h";
    } else if (optionValue(args, i, "--off-after", &v, why)) {
        *offGiven = true;
        if (why->empty() && !parseDuration(v, &o->plan.offAfterNs))
            *why = "invalid duration '" + v + "' for '--off-after': give 1s to 24h, such as 30s, 5m or 1h";
    } else if (optionValue(args, i, "--dim", &v, why)) {
        if (why->empty() && !parseDim(v, &o->plan.dimPercent))
            *why = "invalid level '" + v + "' for '--dim': give a percentage from 1% to 100%";
    } else if (optionValue(args, i, "--fade", &v, why)) {
        if (why->empty() && !parseFade(v, &o->fadeMs))
            *why = "invalid fade '" + v + "': give milliseconds from 0 to 600000";
    } else if (optionValue(args, i, "-d", &v, why) || optionValue(args, i, "--device", &v, why)) {
        if (why->empty() && !ctl::parseSelection(v, &o->selection))
            *why = "invalid device '" + v + "': give /dev/hidraw0 to /dev/hidraw9 or a bus place as"
                   " 'brightness-ctl list' shows it";
    } else {
        *why = "unknown argument '" + arg + "'";
    }
    return why->empty();
}

} // namespace

bool parseDuration(const std::string &text, long long *ns)
{
    const std::size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos || digits > 6 || text.size() != digits + 1)
        return false;
    long long unit;
    switch (text[digits]) {
    case 's': unit = second; break;
    case 'm': unit = 60 * second; break;
    case 'h': unit = 3600 * second; break;
    default: return false;
    }
    const long long value = std::strtoll(text.c_str(), nullptr, 10) * unit;
    if (value < second || value > 24 * 3600 * second)
        return false;
    *ns = value;
    return true;
}

bool parseOptions(const std::vector<std::string> &args, Options *options, std::string *why)
{
    Options o;
    o.plan.afterNs = defaultAfterNs;
    bool offGiven = false;
    why->clear();
    for (std::size_t i = 0; i < args.size(); ++i)
        if (!parseOne(args, &i, &o, &offGiven, why))
            return false;
    if (offGiven && o.plan.dimPercent < 0) {
        *why = "'--off-after' counts from the dim: give '--dim' too, or '--after' alone to turn off";
        return false;
    }
    *options = o;
    return true;
}

std::string usage()
{
    return "Usage: brightness-idle [--after DURATION] [--dim P%] [--off-after DURATION]\n"
           "                       [--fade MS] [-d DEV]\n"
           "\n"
           "Turns the display's backlight off when nobody has touched an input device\n"
           "for a while, and back on at the first touch, which reaches no application.\n"
           "\n"
           "  --after DURATION      quiet time before the screen dims or turns off (default 5m)\n"
           "  --dim P%              dim to P% first instead of turning off\n"
           "  --off-after DURATION  with --dim: time dimmed before the screen turns off\n"
           "  --fade MS             fade each change over MS milliseconds; waking is at once\n"
           "  -d, --device DEV      only the display at DEV: /dev/hidrawN or its bus place\n"
           "  -h, --help            show this help\n"
           "  --version             show the version\n"
           "\n"
           "DURATION is a number with a unit, s, m or h, from 1s to 24h.\n";
}

} // namespace idle
