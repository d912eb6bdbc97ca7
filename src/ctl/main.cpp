#include <iostream>

#include "ctl.h"

int main(int argc, char **argv)
{
    const ctl::Environment env{"/sys", &std::cout, &std::cerr};
    return ctl::run(argc, argv, env);
}
