// brightness-ctl as the tests start it: the sysfs root and the state
// directory come first on the command line, so that a test's own temporary
// trees stand in for /sys and /var/lib/brightness.
//   ctl_driver SYSFS STATE_DIR [brightness-ctl arguments...]

#include <iostream>

#include "ctl/ctl.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::cerr << "usage: ctl_driver SYSFS STATE_DIR [arguments...]\n";
        return 99;
    }
    const control::Environment env{argv[1], argv[2], &std::cout, &std::cerr};
    argv[2] = argv[0];
    return ctl::endAs(ctl::run(argc - 2, argv + 2, env));
}
