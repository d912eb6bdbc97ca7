#ifndef CTL_H
#define CTL_H

// brightness-ctl: sets the display's backlight from a script or a terminal,
// without a display server. Parse, find, write: each step lives in the
// control library or in cli/commands, so that each can be exercised alone.

#include "control/environment.h"

namespace ctl {


// The whole program; argv as main receives it.
int run(int argc, char **argv, const control::Environment &env);

// Ends the process as a status above 128 says a signal would have, so that a
// shell sees the interruption; returns the status otherwise.
int endAs(int status);

} // namespace ctl

#endif
