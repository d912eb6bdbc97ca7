#ifndef CONTROL_ENVIRONMENT_H
#define CONTROL_ENVIRONMENT_H

#include <iosfwd>
#include <string>

namespace control {

class Clock;

// How much a message matters, numbered as syslog and the journal do.
enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

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
    // Each message starts with its priority as "<N>" (sd-daemon's prefix),
    // for a daemon that relays them to its log (Log::relay).
    bool priorityPrefix = false;
};

// Starts a message on env.err with the program's name.
std::ostream &say(const Environment &env, Priority priority = Priority::Warning);

} // namespace control

#endif
