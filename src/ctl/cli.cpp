#include "ctl/cli.h"

#include <ostream>
#include <sstream>

#include "control/cmdline.h"
#include "ctl/commands.h"
#include "ctl/idlestate.h"
#include "control/status.h"

namespace ctl {

// brightness-ctl is the control library on a command line.
using namespace control;

namespace {

struct Verb {
    const char *name;
    std::size_t operands;
    bool sets;   // writes levels: --fade, --min and --device apply
    bool reads;  // shows displays: --machine and --device apply
    Command command;
};

// The empty name: no command, which shows each display's state.
const Verb verbs[] = {
    {"set", 1, true, false, commandSet},
    {"on", 0, true, false, commandOn},
    {"off", 0, true, false, commandOff},
    {"toggle", 0, true, false, commandToggle},
    {"restore", 0, true, false, commandRestore},
    {"get", 0, false, true, commandGet},
    {"list", 0, false, true, commandList},
    {"status", 0, false, false, commandStatusWithIdle},
    {"", 0, false, false, commandStatus},
    {"--version", 0, false, false, commandVersion},
};

const Verb *findVerb(const std::string &name)
{
    for (const Verb &v : verbs)
        if (name == v.name)
            return &v;
    return nullptr;
}

const DurationRule fadeRule{1, 0, 600000, 1};

enum { MinOption = 256, FadeOption, StayOffOption, VersionOption };

const option longOptions[] = {
    {"machine", no_argument, nullptr, 'm'},
    {"verbose", no_argument, nullptr, 'v'},
    {"device", required_argument, nullptr, 'd'},
    {"min", required_argument, nullptr, MinOption},
    {"fade", required_argument, nullptr, FadeOption},
    {"stay-off", no_argument, nullptr, StayOffOption},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, VersionOption},
    {nullptr, 0, nullptr, 0},
};

// One option with its value; false, with *why, for a bad one.
bool takeOption(int val, const std::string &value, Options *opts, std::string *why)
{
    switch (val) {
    case 'm':
        opts->machine = true;
        break;
    case 'v':
        opts->verbose = true;
        break;
    case StayOffOption:
        opts->stayOff = true;
        break;
    case 'd':
        opts->selected = parseDevice(value, &opts->selection, why);
        return opts->selected;
    case MinOption:
        if (!parseFloor(value, &opts->floor)) {
            *why = "invalid floor '" + value + "': give a percentage from 0% to 100%";
            return false;
        }
        opts->floorGiven = true;
        break;
    case FadeOption: {
        long long ms = 0;
        if (!parseDuration(value, fadeRule, &ms)) {
            *why = "invalid fade '" + value + "': give 0 to 10m, in milliseconds (3000) or with a unit"
                   " (500ms, 3s, 1m)";
            return false;
        }
        opts->fadeMs = int(ms);
        opts->fadeGiven = true;
        opts->fadeUnitless = value.find_first_not_of("0123456789") == std::string::npos;
        break;
    }
    }
    return true;
}

// A level lowered with the sign in front reads as an option: say where the
// sign goes.
std::string unknownOption(const OptionReader &reader)
{
    const std::string &arg = reader.argument();
    if (arg.size() > 1 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9')
        return "unknown option '" + arg + "' (to lower the level, put the sign after: " + arg.substr(1) + "-)";
    return reader.value();
}

// Whether the options given fit the command.
bool fitsVerb(const Verb &verb, const Options &opts, std::string *why)
{
    const std::string name = verb.name;
    if (opts.operands.size() < verb.operands)
        *why = "'" + name + "' needs a value";
    else if (opts.operands.size() > verb.operands)
        *why = "unexpected argument '" + opts.operands[verb.operands] + "'";
    else if (opts.machine && !verb.reads)
        *why = "'--machine' applies to 'list' and 'get' only";
    else if (opts.verbose && name != "list")
        *why = "'--verbose' applies to 'list' only";
    else if (opts.stayOff && name != "set")
        *why = "'--stay-off' applies to 'set' only";
    else if ((opts.fadeGiven || opts.floorGiven) && !verb.sets)
        *why = std::string(opts.fadeGiven ? "'--fade'" : "'--min'")
            + " applies to 'set', 'on', 'off', 'toggle' and 'restore' only";
    else if (opts.selected && !verb.sets && !verb.reads && !name.empty())
        *why = "'--device' does not apply to '" + name + "'";
    return why->empty();
}

// Words joined into lines of at most 72 characters.
std::string wrap(const std::string &text)
{
    std::string out, line, word;
    std::istringstream words(text);
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > 72) {
            out += line + '\n';
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line + '\n';
}

} // namespace

bool parseCommandLine(const std::vector<std::string> &args, Options *opts, std::string *why)
{
    why->clear();
    OptionReader reader(args, "mvd:h", longOptions);
    bool help = false, version = false;
    int val = 0;
    for (OptionReader::Kind kind; (kind = reader.next(&val)) != OptionReader::End;) {
        std::string problem;
        if (kind == OptionReader::Operand) {
            if (opts->verb.empty() && !version)
                opts->verb = reader.value();
            else
                opts->operands.push_back(reader.value());
        } else if (kind == OptionReader::Problem) {
            problem = reader.value().compare(0, 8, "unknown ") == 0 ? unknownOption(reader) : reader.value();
        } else if (val == 'h') {
            help = true;
        } else if (val == VersionOption) {
            // The words before --version are as unexpected as those after.
            if (!version && !opts->verb.empty())
                opts->operands.insert(opts->operands.begin(), opts->verb);
            opts->verb = "--version";
            version = true;
        } else {
            takeOption(val, reader.value(), opts, &problem);
        }
        // The first problem is told, unless help is asked for anywhere.
        if (why->empty())
            *why = problem;
    }
    if (help) {
        why->clear();
        opts->command = commandHelp;
        return true;
    }
    if (!why->empty())
        return false;
    const Verb *verb = findVerb(opts->verb);
    if (!verb) {
        *why = "unknown command '" + opts->verb + "'";
        return false;
    }
    opts->command = verb->command;
    return fitsVerb(*verb, *opts, why);
}

std::string usage(const Environment &env)
{
    return "Usage: brightness-ctl                show each display and its remembered level\n"
           "       brightness-ctl set STEP       set step 0 to 10 (STEP x 10 percent)\n"
           "       brightness-ctl set PERCENT%   set 0% to 100%; 0 and 0% turn it off\n"
           "       brightness-ctl set +N | N-    N steps up or down from the level shown\n"
           "       brightness-ctl set +P% | P%-  P percent up or down from the level shown\n"
           "       brightness-ctl off            turn the backlight off, keeping the level\n"
           "       brightness-ctl on             back to the remembered level\n"
           "       brightness-ctl toggle         off when on, on when off\n"
           "       brightness-ctl get            show the remembered level of each display\n"
           "       brightness-ctl restore        set each display to its remembered level, lit\n"
           "       brightness-ctl list           list the displays found\n"
           "       brightness-ctl status         the displays, and what brightness-idle does now\n"
           "       brightness-ctl -h | --help    show this help\n"
           "       brightness-ctl --version      show the version\n"
           "\n"
           "Options:\n"
           "  -d, --device DEV  only the display at DEV: /dev/hidrawN or its bus place\n"
           "  --min P%          floor for relative steps and restore (default "
        + std::to_string(defaultFloor) + "%)\n"
           "  --fade TIME       set, on, off, toggle, restore: fade over TIME\n"
           "  --stay-off        set: a display that is off stays off; only the level\n"
           "                    that 'on' brings back changes\n"
           "  -m, --machine     list, get: one line per display, fixed fields\n"
           "  -v, --verbose     list: also the hidraw nodes that are not displays\n"
           "\n"
           "TIME is a number with a unit, ms, s, m or h, up to 10m; a number alone\n"
           "counts milliseconds (--fade 3000 is 3s). Options go anywhere and may be\n"
           "bundled (-mv); after '--' every word is a command or a value.\n"
           "\n"
        + wrap("Every display on " + searchedNodes() + " with USB ID " + acceptedIdentities()
               + " is set; no display server is needed. A display cannot be read back: the level"
                 " last set here is remembered in")
        + env.stateDir + "/levels. With nothing remembered, a step or 'on' starts\n"
           "from " + std::to_string(firstUseLevel) + "%. While a display is off, a step up starts from 0\n"
           "and a step down leaves it off.\n"
           "\n"
           "Exit status: 0 done (restore with nothing remembered: nothing to do);\n"
           "1 no display found, a display could not be set, or no level\n"
           "remembered (get); 2 bad command line or value (nothing is sent);\n"
           "3 access to a display was refused; 128+N a fade stopped by signal N.\n"
           "When several apply: 2 before 3 before 1.\n";
}

} // namespace ctl
