#ifndef CTL_CLI_H
#define CTL_CLI_H

// brightness-ctl's command line: options, commands and the help text.

#include <string>
#include <vector>

#include "displays.h"
#include "environment.h"
#include "fade.h"

namespace ctl {

// brightness-ctl is the control library on a command line: the library's
// names are its own.
using namespace control;

struct Options;
using Command = int (*)(const Options &opts, const Environment &env);

struct Options {
    std::string verb;
    Command command = nullptr;
    std::vector<std::string> operands;
    Selection selection;
    bool selected = false;
    bool machine = false;
    bool verbose = false;
    int floor = defaultFloor;
    bool floorGiven = false;
    int fadeMs = 0;
    bool fadeGiven = false;
    bool fadeUnitless = false;  // --fade's value was a number alone
    bool stayOff = false;
};

// Reads the arguments after the program's name into *opts; false, with the
// problem in *why, for a command line that must not run.
bool parseCommandLine(const std::vector<std::string> &args, Options *opts, std::string *why);

std::string usage(const Environment &env);

} // namespace ctl

#endif
