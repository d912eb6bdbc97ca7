#include "idle/program.h"

#include <csignal>
#include <iostream>

#include <systemd/sd-daemon.h>

#include "control/cmdline.h"
#include "control/log.h"
#include "idle/loop.h"
#include "idle/options.h"
#include "control/status.h"

namespace idle {

int runProgram(const std::vector<std::string> &args, const std::string &sysfsRoot, const std::string &stateDir)
{
    control::Log log(std::cerr, "brightness-idle");
    Options options;
    std::string why;
    if (!parseOptions(args, &options, &why)) {
        std::cerr << control::usageError("brightness-idle", why);
        return control::Usage;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? usage() : "brightness-idle " BRIGHTNESS_VERSION "\n");
        return control::Ok;
    }
    log.setVerbose(options.verbose);
    // Taken by the loop, so that a fade ends between two writes.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    control::Environment env{sysfsRoot, stateDir, &std::cout, &std::cerr};
    env.program = "brightness-idle";
    Loop loop(options, env, log);
    if (!loop.start(&why)) {
        log.error(why);
        return control::Failure;
    }
    // The service counts as started once the devices are watched.
    sd_notify(0, "READY=1");
    const int status = loop.run();
    sd_notify(0, "STOPPING=1");
    return status;
}

} // namespace idle
