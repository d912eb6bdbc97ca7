// brightness-mqtt as the tests and the benchmark start it: the sysfs root
// and the state directory come first on the command line, so that their own
// temporary trees stand in for /sys and /var/lib/brightness.
//   mqtt_driver SYSFS STATE_DIR [brightness-mqtt arguments...]

#include <iostream>

#include "mqtt/program.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::cerr << "usage: mqtt_driver SYSFS STATE_DIR [arguments...]\n";
        return 99;
    }
    return mqtt::runProgram(std::vector<std::string>(argv + 3, argv + argc), argv[1], argv[2]);
}
