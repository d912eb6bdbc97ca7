// brightness-idle: turns the display off when nobody is there, and back on
// at the first touch, which reaches no other program.

#include "idle/program.h"

int main(int argc, char **argv)
{
    return idle::runProgram(std::vector<std::string>(argv + 1, argv + argc), "/sys", BRIGHTNESS_STATE_DIR);
}
