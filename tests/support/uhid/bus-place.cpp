// Prints the bus place that brightness-ctl computes for /dev/hidrawN, for
// the guest to hold against udev's own ID_PATH.
//   bus-place N

#include <cstdio>
#include <cstdlib>
#include <string>

#include "hid/sysfs.h"

int main(int argc, char **argv)
{
    char *end = nullptr;
    const long node = argc == 2 ? std::strtol(argv[1], &end, 10) : -1;
    if (argc != 2 || *end != '\0' || node < 0 || node > 9) {
        std::fprintf(stderr, "usage: bus-place N (0 to 9)\n");
        return 2;
    }
    const std::string place = busPlace("/sys", int(node));
    if (place.empty())
        return 1;
    std::printf("%s\n", place.c_str());
    return 0;
}
