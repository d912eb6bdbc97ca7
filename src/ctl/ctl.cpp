#include "ctl/ctl.h"

#include <algorithm>
#include <csignal>
#include <ostream>
#include <string>
#include <vector>

#include "ctl/apply.h"
#include "ctl/cli.h"
#include "control/clock.h"
#include "control/cmdline.h"
#include "control/status.h"

namespace ctl {

// brightness-ctl is the control library on a command line.
using namespace control;

int run(int argc, char **argv, const Environment &env)
{
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    Options opts;
    std::string why;
    int status;
    if (parseCommandLine(args, &opts, &why)) {
        // A fade or a restore's retries end between two writes at SIGINT
        // or SIGTERM; the program's own clock sleeps no longer than that.
        StopSignals stopSignals;
        SystemClock system(stopFlag());
        // A fade shorter than one step is a jump: most likely seconds were
        // meant.
        if (opts.fadeUnitless && opts.fadeMs > 0 && opts.fadeMs < fadeIntervalMs)
            say(env) << "--fade " << opts.fadeMs << " is " << opts.fadeMs
                     << " ms; a unit is probably missing (" << opts.fadeMs << "s for seconds)\n";
        Environment stoppable = env;
        if (!stoppable.clock)
            stoppable.clock = &system;
        status = opts.command(opts, stoppable);
        // Stopped while doing something else than a fade: ended as the
        // signal would have ended it.
        if (stopSignal() && status <= 128)
            status = 128 + stopSignal();
    } else {
        *env.err << usageError(env.program, why);
        status = Usage;
    }
    if (!env.out->flush()) {
        say(env) << "cannot write to standard output\n";
        status = worse(status, Failure);
    }
    return status;
}

int endAs(int status)
{
    if (status > 128) {
        std::signal(status - 128, SIG_DFL);
        std::raise(status - 128);
    }
    return status;
}

} // namespace ctl
