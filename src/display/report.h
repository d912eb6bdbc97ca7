#ifndef REPORT_H
#define REPORT_H

#include <cstdint>

#include "hid/protocol.h"

// The pending start-up request: written only by the command line's parser,
// consumed once by CMD_Run().
extern uint8_t CMD_Bright;  // step 0..10
extern uint8_t CMD_FLAG;    // 1 while a request is pending

// The one brightness report of the process. Senders rewrite bytes 1 to 6
// in place; nothing else writes it.
extern unsigned char date[reportSize];

// Sends the command-line step once, if one is pending, and uses it up.
void CMD_Run();

#endif
