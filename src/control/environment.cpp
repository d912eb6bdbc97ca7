#include "control/environment.h"

#include <ostream>

namespace control {

std::ostream &say(const Environment &env, Priority priority)
{
    if (env.priorityPrefix)
        *env.err << '<' << static_cast<int>(priority) << '>';
    return *env.err << env.program << ": ";
}

} // namespace control
