#include <iostream>

#include "ctl/ctl.h"

int main(int argc, char **argv)
{
    const control::Environment env{"/sys", BRIGHTNESS_STATE_DIR, &std::cout, &std::cerr};
    return ctl::endAs(ctl::run(argc, argv, env));
}
