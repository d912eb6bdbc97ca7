#ifndef CTL_CLI_H
#define CTL_CLI_H

// brightness-ctl's command line: options, commands and the help text.

#include <string>
#include <vector>

#include "control/displays.h"
#include "control/environment.h"
#include "control/fade.h"

namespace ctl {


struct Options;
using Command = int (*)(const Options &opts, const control::Environment &env);

struct Options {
    std::string verb;
    Command command = nullptr;
    std::vector<std::string> operands;
    control::Selection selection;
    bool selected = false;
    bool machine = false;
    bool verbose = false;
    int floor = control::defaultFloor;
    bool floorGiven = false;
    int fadeMs = 0;
    bool fadeGiven = false;
    bool fadeUnitless = false;  // --fade's value was a number alone
    bool stayOff = false;
};

// Reads the arguments after the program's name into *opts; false, with the
// problem in *why, for a command line that must not run.
bool parseCommandLine(const std::vector<std::string> &args, Options *opts, std::string *why);

std::string usage(const control::Environment &env);

} // namespace ctl

#endif
