#ifndef PROTOCOL_H
#define PROTOCOL_H

// What the display understands, kept free of Qt so that every program of
// the project shares one copy.

#include <cstddef>

struct DisplayIdentity {
    unsigned short vendor;
    unsigned short product;
};

// The USB vendor and product pairs of the displays this tool drives.
extern const DisplayIdentity acceptedDisplays[3];

// Whether (vendor, product), as the kernel's hidraw_devinfo holds them, is
// one of acceptedDisplays. The bus type plays no part.
bool isAcceptedDisplay(short vendor, short product);

// The brightness report: report number 0x04 in byte 0, the level in
// percent in byte 6, zeros from byte 7.
constexpr std::size_t reportSize = 38;
constexpr unsigned char reportNumber = 0x04;
constexpr std::size_t levelOffset = 6;
// Stores the fixed header (bytes 1 to 5) and level (byte 6); byte 0 and
// the tail are the caller's, so a report buffer is rewritten in place.
void fillBrightnessReport(unsigned char *report, unsigned char level);

#endif
