// brightness-idle: turns the display off when nobody is there, and back on
// at the first touch, which reaches no other program.

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <systemd/sd-daemon.h>

#include "cmdline.h"
#include "log.h"
#include "loop.h"
#include "options.h"
#include "status.h"

int main(int argc, char **argv)
{
    control::Log log(std::cerr, "brightness-idle");
    idle::Options options;
    std::string why;
    if (!idle::parseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &why)) {
        std::cerr << control::usageError("brightness-idle", why);
        return control::Usage;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? idle::usage() : "brightness-idle " BRIGHTNESS_VERSION "\n");
        return control::Ok;
    }
    log.setVerbose(options.verbose);
    // Taken by the loop, so that a fade ends between two writes.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    control::Environment env{"/sys", BRIGHTNESS_STATE_DIR, &std::cout, &std::cerr};
    env.program = "brightness-idle";
    idle::Loop loop(options, env, log);
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
