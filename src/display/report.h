#ifndef REPORT_H
#define REPORT_H

#include "protocol.h"

// The one brightness report of the process. Senders rewrite bytes 1 to 6
// in place; nothing else writes it.
extern unsigned char date[reportSize];

// Sends the command-line step once, if one is pending, and uses it up.
void CMD_Run();

#endif
