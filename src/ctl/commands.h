#ifndef CTL_COMMANDS_H
#define CTL_COMMANDS_H

// brightness-ctl's commands, each run on a command line that fits it.

#include "ctl/cli.h"

namespace ctl {

// How long a restore keeps trying a display that is not ready yet, and how
// often.
const int restoreWindowMs = 5000;
const int restoreRetryMs = 250;

int commandSet(const Options &opts, const control::Environment &env);
int commandOn(const Options &opts, const control::Environment &env);
int commandOff(const Options &opts, const control::Environment &env);
int commandToggle(const Options &opts, const control::Environment &env);
int commandStatus(const Options &opts, const control::Environment &env);
int commandRestore(const Options &opts, const control::Environment &env);
int commandGet(const Options &opts, const control::Environment &env);
int commandList(const Options &opts, const control::Environment &env);
int commandHelp(const Options &opts, const control::Environment &env);
int commandVersion(const Options &opts, const control::Environment &env);

} // namespace ctl

#endif
