#ifndef CONTROL_ENVIRONMENT_H
#define CONTROL_ENVIRONMENT_H

#include <iosfwd>
#include <string>

namespace control {

class Clock;

// What a program reads from and writes to besides the device nodes.
// Only the programs' own mains and the tests build one.
struct Environment {
    std::string sysfsRoot;  // "/sys" on a real system
    std::string stateDir;   // where the record of levels lives
    std::ostream *out;
    std::ostream *err;
    Clock *clock = nullptr;  // null: the system's monotonic clock
    const char *program = "brightness-ctl";  // the prefix of every message
    // The group that the package gives the displays and the record to;
    // the advice for a refused user names it.
    std::string accessGroup = "plugdev";
};

// Starts a message on env.err with the program's name.
std::ostream &say(const Environment &env);

} // namespace control

#endif
