// brightness-ctl's value grammar.

#include <string>

#include "ctl.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const int level = ctl::parseLevel(text);
    FUZZ_CHECK(level >= -1 && level <= 100);
    if (level >= 0)
        FUZZ_CHECK(ctl::parseLevel(std::to_string(level) + "%") == level);
    return 0;
}
