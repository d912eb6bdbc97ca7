#ifndef CMDLINE_H
#define CMDLINE_H

#include <cstdint>

// The pending start-up request: written only by parseCommandLine(),
// consumed once by CMD_Run().
extern uint8_t CMD_Bright;  // step 0..10
extern uint8_t CMD_FLAG;    // 1 while a request is pending

// Runs getopt("b:") over the whole command line, echoing each result on
// standard output. Leaves argv as the GNU parser permuted it.
void parseCommandLine(int argc, char **argv);

// The step that a -b value asks for: strtol base 10 as a signed 32-bit
// result, reduced to its low byte, anything above 9 meaning 10.
uint8_t stepFromArgument(const char *text);

#endif
