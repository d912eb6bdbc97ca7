#include "app/cmdline.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "display/report.h"

uint8_t stepFromArgument(const char *text)
{
    long value = strtol(text, nullptr, 10);
    // long is 64-bit on some hosts; the target's strtol saturates at 32 bits.
    if (value > INT32_MAX)
        value = INT32_MAX;
    else if (value < INT32_MIN)
        value = INT32_MIN;
    const uint8_t low = static_cast<uint8_t>(value);
    return low <= 9 ? low : 10;
}

void parseCommandLine(int argc, char **argv)
{
    int opt;
    while ((opt = getopt(argc, argv, "b:")) != -1) {
        if (opt == 'b') {
            CMD_Bright = stepFromArgument(optarg);
            CMD_FLAG = 1;
            printf("Bright=%d\n", CMD_Bright);
        } else {
            printf("other option:%c\n", opt);
        }
        // Callers read this through pipes and may kill the tool later.
        fflush(stdout);
    }
}
