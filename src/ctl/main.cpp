#include <csignal>
#include <iostream>

#include "ctl.h"

int main(int argc, char **argv)
{
    const ctl::Environment env{"/sys", BRIGHTNESS_STATE_DIR, &std::cout, &std::cerr};
    const int status = ctl::run(argc, argv, env);
    // A fade stopped by a signal ends as the signal would have ended it, so
    // that a shell sees the interruption.
    if (status > 128) {
        std::signal(status - 128, SIG_DFL);
        std::raise(status - 128);
    }
    return status;
}
