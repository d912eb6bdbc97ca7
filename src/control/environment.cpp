#include "control/environment.h"

#include <ostream>

namespace control {

std::ostream &say(const Environment &env)
{
    return *env.err << env.program << ": ";
}

} // namespace control
