#ifndef IDLE_PROGRAM_H
#define IDLE_PROGRAM_H

#include <string>
#include <vector>

namespace idle {

// The whole program: arguments without the program's name; sysfsRoot and
// stateDir as control::Environment takes them. A Status.
int runProgram(const std::vector<std::string> &args, const std::string &sysfsRoot, const std::string &stateDir);

} // namespace idle

#endif
