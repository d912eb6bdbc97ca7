#include "mqtt/program.h"

int main(int argc, char **argv)
{
    return mqtt::runProgram(std::vector<std::string>(argv + 1, argv + argc), "/sys", BRIGHTNESS_STATE_DIR);
}
