#ifndef REPORT_H
#define REPORT_H

// The one brightness report of the process: byte 0 is the report number,
// byte 6 the level in percent. Senders rewrite bytes 1 to 6 in place.
constexpr int reportSize = 38;
extern unsigned char date[reportSize];

// Sends the command-line step once, if one is pending, and uses it up.
void CMD_Run();

#endif
