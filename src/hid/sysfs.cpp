#include "sysfs.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

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

bool allDigits(const std::string &text, std::size_t from, std::size_t to)
{
    return from < to && to <= text.size()
        && text.find_first_not_of("0123456789", from) >= to;
}

// "B-P[.P...]:C.I", the name the kernel gives a USB interface.
bool isUsbInterface(const std::string &name)
{
    const std::size_t dash = name.find('-');
    const std::size_t colon = name.find(':');
    const std::size_t dot = name.rfind('.');
    if (dash == std::string::npos || colon == std::string::npos || dot == std::string::npos || dot < colon
        || !allDigits(name, 0, dash) || !allDigits(name, colon + 1, dot) || !allDigits(name, dot + 1, name.size()))
        return false;
    for (std::size_t i = dash + 1, start = i; i <= colon; ++i)
        if (i == colon || name[i] == '.') {
            if (!allDigits(name, start, i))
                return false;
            start = i + 1;
        }
    return true;
}

bool isUsbBus(const std::string &name)
{
    return name.compare(0, 3, "usb") == 0 && allDigits(name, 3, name.size());
}

std::string realPath(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    if (!real)
        return std::string();
    const std::string result(real);
    std::free(real);
    return result;
}

// The host controller, by its bus address, then the ports down to the
// interface, as udev spells a USB ID_PATH.
std::string usbPlace(const std::string &devices, const std::vector<std::string> &parts, std::size_t usbIf)
{
    std::string place;
    const std::string &iface = parts[usbIf - 1];
    std::size_t hub = usbIf - 1;
    while (hub > 0 && !isUsbBus(parts[hub - 1]))
        --hub;
    if (hub >= 2) {
        std::string controller = devices;
        for (std::size_t i = 0; i + 1 < hub; ++i)
            controller += '/' + parts[i];
        const std::string subsystem = realPath(controller + "/subsystem");
        if (!subsystem.empty())
            place = subsystem.substr(subsystem.rfind('/') + 1) + '-';
        place += parts[hub - 2] + '-';
    }
    return place + "usb-0:" + iface.substr(iface.find('-') + 1);
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

std::string busPlace(const std::string &sysfsRoot, int node)
{
    return formerBusPlace(sysfsRoot, node);
}

std::string formerBusPlace(const std::string &sysfsRoot, int node)
{
    const std::string devices = realPath(sysfsRoot + "/devices");
    const std::string device = realPath(sysfsRoot + "/class/hidraw/hidraw" + std::to_string(node) + "/device");
    if (devices.empty() || device.compare(0, devices.size() + 1, devices + "/") != 0)
        return std::string();
    std::vector<std::string> parts;
    std::istringstream names(device.substr(devices.size() + 1));
    for (std::string name; std::getline(names, name, '/');)
        parts.push_back(name);
    // The last part is the HID device, numbered anew on every plug.
    parts.pop_back();

    std::size_t usbIf = parts.size();
    while (usbIf > 0 && !isUsbInterface(parts[usbIf - 1]))
        --usbIf;
    std::string place;
    if (usbIf > 0)
        place = usbPlace(devices, parts, usbIf);
    else
        for (const std::string &part : parts)
            place += (place.empty() ? "" : "-") + part;
    return validPlace(place) ? place : std::string();
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
