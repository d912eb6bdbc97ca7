// The window's -b value, through getopt as main hands the command line over.

#include <cstring>
#include <string>
#include <unistd.h>

#include "app/cmdline.h"
#include "display/report.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An argument ends at its first NUL, as exec passes it.
    std::string value(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    std::string joined = "-b" + value;
    char name[] = "brightness", option[] = "-b";
    char *separate[] = {name, option, value.data(), nullptr};
    char *attached[] = {name, joined.data(), nullptr};

    optind = 0;  // glibc: a full restart of the scan
    CMD_FLAG = 0;
    parseCommandLine(3, separate);
    FUZZ_CHECK(CMD_FLAG == 1 && CMD_Bright <= 10);
    // The step as the echo prints it reads back as the same step.
    FUZZ_CHECK(stepFromArgument(std::to_string(CMD_Bright).c_str()) == CMD_Bright);

    if (!value.empty()) {
        const uint8_t step = CMD_Bright;
        optind = 0;
        CMD_FLAG = 0;
        parseCommandLine(2, attached);
        FUZZ_CHECK(CMD_FLAG == 1 && CMD_Bright == step);
    }
    return 0;
}
