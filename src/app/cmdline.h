#ifndef CMDLINE_H
#define CMDLINE_H

#include <cstdint>

// Runs getopt("b:") over the whole command line, echoing each result on
// standard output, and leaves the last -b as the pending start-up request
// (CMD_Bright, CMD_FLAG in report.h). Leaves argv as the GNU parser permuted it.
void parseCommandLine(int argc, char **argv);

// The step that a -b value asks for: strtol base 10 as a signed 32-bit
// result, reduced to its low byte, anything above 9 meaning 10.
uint8_t stepFromArgument(const char *text);

#endif
