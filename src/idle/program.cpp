#include "idle/program.h"

#include <iostream>

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
    control::Environment env{sysfsRoot, stateDir, &std::cout, &std::cerr};
    env.program = "brightness-idle";
    Loop loop(options, env, log);
    if (!loop.start(&why)) {
        log.error(why);
        return control::Failure;
    }
    // The service counts as started once the devices are watched.
    return loop.run();
}

} // namespace idle
