#include "cli.h"

#include <cstdlib>
#include <ostream>
#include <sstream>

#include "commands.h"
#include "status.h"

namespace ctl {

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
    {"", 0, false, false, commandStatus},
    {"-h", 0, false, false, commandHelp},
    {"--help", 0, false, false, commandHelp},
    {"--version", 0, false, false, commandVersion},
};

const Verb *findVerb(const std::string &name)
{
    for (const Verb &v : verbs)
        if (name == v.name)
            return &v;
    return nullptr;
}

// Takes an option's value from "--name=value" or from the next argument.
// False when the argument is not this option; a missing value is a problem.
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
    if (*i + 1 >= args.size())
        *why = "'" + name + "' needs a value";
    else
        *value = args[++*i];
    return true;
}

bool parseFade(const std::string &value, Options *opts, std::string *why)
{
    unsigned long ms = 0;
    if (value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos
        || (ms = std::strtoul(value.c_str(), nullptr, 10)) > 600000) {
        *why = "invalid fade '" + value + "': give milliseconds from 0 to 600000";
        return false;
    }
    opts->fadeMs = static_cast<int>(ms);
    opts->fadeGiven = true;
    return true;
}

// One option with its value; false, with *why, for a bad one. *taken: the
// argument was an option.
bool parseOption(const std::vector<std::string> &args, std::size_t *i, Options *opts, bool *taken,
                 std::string *why)
{
    const std::string &arg = args[*i];
    std::string value;
    *taken = true;
    if (arg == "-m" || arg == "--machine") {
        opts->machine = true;
    } else if (arg == "-v" || arg == "--verbose") {
        opts->verbose = true;
    } else if (arg == "--stay-off") {
        opts->stayOff = true;
    } else if (optionValue(args, i, "-d", &value, why) || optionValue(args, i, "--device", &value, why)) {
        if (!why->empty())
            return false;
        if (!parseSelection(value, &opts->selection)) {
            *why = "invalid device '" + value + "': give " + searchedNodes() + " or a bus place as 'list' shows it";
            return false;
        }
        opts->selected = true;
    } else if (optionValue(args, i, "--min", &value, why)) {
        if (!why->empty())
            return false;
        if (!parseFloor(value, &opts->floor)) {
            *why = "invalid floor '" + value + "': give a percentage from 0% to 100%";
            return false;
        }
        opts->floorGiven = true;
    } else if (optionValue(args, i, "--fade", &value, why)) {
        return why->empty() && parseFade(value, opts, why);
    } else if (arg.size() > 1 && arg[0] == '-' && !(opts->verb.empty() && arg == "--version")) {
        *why = "unknown option '" + arg + "'";
        if (arg.find_first_of("0123456789") == 1)
            *why += " (to lower the level, put the sign after: " + arg.substr(1) + "-)";
        return false;
    } else {
        *taken = false;
    }
    return true;
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
    // Help wins wherever it is asked for.
    for (const std::string &arg : args)
        if (arg == "-h" || arg == "--help") {
            opts->command = commandHelp;
            return true;
        }
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool option = false;
        if (!parseOption(args, &i, opts, &option, why))
            return false;
        if (option)
            continue;
        if (opts->verb.empty())
            opts->verb = args[i];
        else
            opts->operands.push_back(args[i]);
    }
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
           "       brightness-ctl -h | --help    show this help\n"
           "       brightness-ctl --version      show the version\n"
           "\n"
           "Options:\n"
           "  -d, --device DEV  only the display at DEV: /dev/hidrawN or its bus place\n"
           "  --min P%          floor for relative steps and restore (default "
        + std::to_string(defaultFloor) + "%)\n"
           "  --fade MS         set, on, off, toggle, restore: fade over MS milliseconds\n"
           "  --stay-off        set: a display that is off stays off; only the level\n"
           "                    that 'on' brings back changes\n"
           "  -m, --machine     list, get: one line per display, fixed fields\n"
           "  -v, --verbose     list: also the hidraw nodes that are not displays\n"
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
