#include "window/mainwindow.h"

#include <cstdint>

// Bit by bit on purpose: input bits from the least significant, result not
// reflected. This is not CRC-16/ARC, whose result is the bit-reversal of this.
void MainWindow::atCRC(unsigned int length, const char *data, char *crcOut)
{
    uint16_t crc = 0;
    for (unsigned int i = 0; i < length; ++i) {
        const auto byte = static_cast<uint8_t>(data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            const bool d = (byte >> bit) & 1;
            const bool t = (crc >> 15) & 1;
            crc = static_cast<uint16_t>(crc << 1);
            if (d != t)
                crc ^= 0x8005;
        }
    }
    crcOut[0] = static_cast<char>(crc & 0xFF);
    crcOut[1] = static_cast<char>(crc >> 8);
}
