// brightness-idle: turns the display off when nobody is there, and back on
// at the first touch, which reaches no other program.

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <systemd/sd-daemon.h>

#include "cmdline.h"
#include "options.h"
#include "status.h"
#include "watcher.h"

int main(int argc, char **argv)
{
    idle::Options options;
    std::string why;
    if (!idle::parseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &why)) {
        std::cerr << ctl::usageError("brightness-idle", why);
        return ctl::Usage;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? idle::usage() : "brightness-idle " BRIGHTNESS_VERSION "\n");
        return ctl::Ok;
    }
    ctl::Environment env{"/sys", BRIGHTNESS_STATE_DIR, &std::cout, &std::cerr};
    env.program = "brightness-idle";
    idle::Watcher watcher(options, env);
    if (!watcher.start(&why)) {
        std::cerr << "brightness-idle: " << why << '\n';
        return ctl::Failure;
    }
    // The service counts as started once the devices are watched.
    sd_notify(0, "READY=1");
    const int status = watcher.run();
    // A fade stopped by a signal ends as the signal would have ended it.
    if (status > 128) {
        std::signal(status - 128, SIG_DFL);
        std::raise(status - 128);
    }
    return status;
}
