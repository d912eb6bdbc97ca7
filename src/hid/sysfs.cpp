#include "hid/sysfs.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool parseHex(const std::string &text, unsigned long max, unsigned long *value)
{
    if (text.empty() || text.size() > 8
        || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = std::strtoul(text.c_str(), nullptr, 16);
    return *value <= max;
}

// A uevent attribute is one page at most; anything longer is not one.
bool readSmallFile(const std::string &path, std::string *text)
{
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    char buf[4096];
    bool ok = true;
    for (;;) {
        const ssize_t got = read(file, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || text->size() + static_cast<size_t>(got) > sizeof buf) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        text->append(buf, static_cast<size_t>(got));
    }
    close(file);
    return ok;
}

} // namespace

std::string hidrawPath(int node)
{
    return hidrawPrefix + std::to_string(node);
}

bool parseUevent(const std::string &text, DisplayIdentity *id)
{
    std::istringstream lines(text);
    std::string line;
    const std::string key = "HID_ID=";
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        // BUS:VENDOR:PRODUCT, hex, as the kernel writes "%04X:%08X:%08X".
        const std::string value = line.substr(key.size());
        const std::size_t a = value.find(':');
        const std::size_t b = a == std::string::npos ? a : value.find(':', a + 1);
        if (b == std::string::npos)
            return false;
        unsigned long bus, vendor, product;
        if (!parseHex(value.substr(0, a), 0xFFFF, &bus)
            || !parseHex(value.substr(a + 1, b - a - 1), 0xFFFF, &vendor)
            || !parseHex(value.substr(b + 1), 0xFFFF, &product))
            return false;
        id->vendor = static_cast<unsigned short>(vendor);
        id->product = static_cast<unsigned short>(product);
        return true;
    }
    return false;
}

bool sysfsIdentity(const std::string &sysfsRoot, int node, DisplayIdentity *id)
{
    std::string text;
    if (!readSmallFile(sysfsRoot + "/class/hidraw/hidraw" + std::to_string(node) + "/device/uevent", &text))
        return false;
    return parseUevent(text, id);
}

bool validPlace(const std::string &place)
{
    if (place.empty() || place.size() > 255)
        return false;
    for (char c : place)
        if (c <= ' ' || c > '~' || c == '#')
            return false;
    return true;
}
