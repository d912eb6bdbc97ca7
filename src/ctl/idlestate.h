#ifndef CTL_IDLESTATE_H
#define CTL_IDLESTATE_H

// brightness-ctl status: each display's state, then what brightness-idle is
// doing now, as its properties on the system bus tell it.

#include "ctl/cli.h"

namespace ctl {

int commandStatusWithIdle(const Options &opts, const control::Environment &env);

} // namespace ctl

#endif
