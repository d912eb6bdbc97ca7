// A sysfs uevent file's text, for the display's identity.

#include <cstdio>
#include <string>

#include "fuzz.h"
#include "hid/sysfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DisplayIdentity id{};
    if (!parseUevent(std::string(reinterpret_cast<const char *>(data), size), &id))
        return 0;
    // Written back the way the kernel writes it, it reads as the same identity.
    char line[64];
    std::snprintf(line, sizeof line, "HID_ID=0003:%08X:%08X\n", id.vendor, id.product);
    DisplayIdentity again{};
    FUZZ_CHECK(parseUevent(line, &again) && again.vendor == id.vendor && again.product == id.product);
    return 0;
}
