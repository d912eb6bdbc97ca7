#include "environment.h"

#include <ostream>

namespace ctl {

std::ostream &say(const Environment &env)
{
    return *env.err << env.program << ": ";
}

} // namespace ctl
