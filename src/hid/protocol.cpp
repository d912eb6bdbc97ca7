#include "hid/protocol.h"

const DisplayIdentity acceptedDisplays[3] = {
    {0x0EEF, 0x0005},
    {0x0483, 0x5750},
    {0x0484, 0x5750},
};

bool isAcceptedDisplay(short vendor, short product)
{
    for (const DisplayIdentity &id : acceptedDisplays) {
        if (static_cast<unsigned short>(vendor) == id.vendor
            && static_cast<unsigned short>(product) == id.product)
            return true;
    }
    return false;
}

void fillBrightnessReport(unsigned char *report, unsigned char level)
{
    report[levelOffset] = level;
    report[1] = 0xAA;
    // Two 16-bit little-endian fields, 0x0001 and 0x0000, on every host.
    report[2] = 0x01;
    report[3] = 0x00;
    report[4] = 0x00;
    report[5] = 0x00;
}
