// brightness-idle as the tests start it: the sysfs root and the state
// directory come first on the command line, so that their own temporary
// trees stand in for /sys and /var/lib/brightness.
//   idle_driver SYSFS STATE_DIR [brightness-idle arguments...]

#include <iostream>

#include "idle/program.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::cerr << "usage: idle_driver SYSFS STATE_DIR [arguments...]\n";
        return 99;
    }
    return idle::runProgram(std::vector<std::string>(argv + 3, argv + argc), argv[1], argv[2]);
}
