// A display's place on the bus, as udev names it (ID_PATH), read from sysfs.

#include "hid/sysfs.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include <unistd.h>

namespace {

std::string realPath(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    if (!real)
        return std::string();
    const std::string result(real);
    std::free(real);
    return result;
}

bool allDigits(const std::string &text, std::size_t from, std::size_t to)
{
    return from < to && to <= text.size() && text.find_first_not_of("0123456789", from) >= to;
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

// The host controller alone, by its bus and address, then the ports down to
// the interface.
std::string formerUsbPlace(const std::string &devices, const std::vector<std::string> &parts, std::size_t usbIf)
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

// The node's HID device and the directories above it up to devices/, as
// names below devices/; false when sysfs has no device for the node.
bool devicePath(const std::string &sysfsRoot, int node, std::string *devices, std::vector<std::string> *parts)
{
    *devices = realPath(sysfsRoot + "/devices");
    const std::string device = realPath(sysfsRoot + "/class/hidraw/hidraw" + std::to_string(node) + "/device");
    if (devices->empty() || device.compare(0, devices->size() + 1, *devices + "/") != 0)
        return false;
    parts->clear();
    std::istringstream names(device.substr(devices->size() + 1));
    for (std::string name; std::getline(names, name, '/');)
        parts->push_back(name);
    return true;
}

// A device in sysfs, as udev sees one: a directory with a uevent file.
struct SysDevice {
    std::string name;
    std::string subsystem;  // empty when it has none
    std::string devtype;
};

SysDevice readDevice(const std::string &dir, const std::string &name)
{
    SysDevice d{name, std::string(), std::string()};
    const std::string subsystem = realPath(dir + "/subsystem");
    if (!subsystem.empty())
        d.subsystem = subsystem.substr(subsystem.rfind('/') + 1);
    std::ifstream uevent(dir + "/uevent");
    for (std::string line; std::getline(uevent, line);)
        if (line.compare(0, 8, "DEVTYPE=") == 0)
            d.devtype = line.substr(8);
    return d;
}

// The devices from the node's HID device up, nearest first.
std::vector<SysDevice> ancestors(const std::string &devices, const std::vector<std::string> &parts)
{
    std::vector<SysDevice> chain;
    std::string dir = devices;
    for (const std::string &part : parts) {
        dir += '/' + part;
        if (access((dir + "/uevent").c_str(), F_OK) == 0)
            chain.insert(chain.begin(), readDevice(dir, part));
    }
    return chain;
}

// udev's path_id walk, for the buses that can lie above a raw HID node:
// each run of devices on one bus puts one part in front, named by its
// device nearest the node (the USB interface; the PCI controller, not the
// bridges above it). Only a chain that reaches a device with a stable name
// (PCI, platform, ACPI, Xen) gives a place.
std::string idPath(const std::vector<SysDevice> &chain)
{
    std::string path;
    bool stableParent = false;
    const auto prepend = [&path](const std::string &part) { path = path.empty() ? part : part + '-' + path; };
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const SysDevice &d = chain[i];
        const std::string &bus = d.subsystem;
        if (bus == "usb") {
            const std::size_t dash = d.name.find('-');
            if ((d.devtype != "usb_interface" && d.devtype != "usb_device") || dash == std::string::npos)
                continue;
            prepend("usb-0:" + d.name.substr(dash + 1));
        } else if (bus == "pci" || bus == "platform" || bus == "acpi" || bus == "xen") {
            prepend(bus + '-' + d.name);
            stableParent = true;
        } else if (bus != "virtio") {
            continue;
        }
        while (i + 1 < chain.size() && chain[i + 1].subsystem == bus)
            ++i;
    }
    return stableParent ? path : std::string();
}

} // namespace

std::string busPlace(const std::string &sysfsRoot, int node)
{
    std::string devices;
    std::vector<std::string> parts;
    if (!devicePath(sysfsRoot, node, &devices, &parts))
        return std::string();
    const std::string place = idPath(ancestors(devices, parts));
    if (place.empty())
        return formerBusPlace(sysfsRoot, node);
    return validPlace(place) ? place : std::string();
}

std::string formerBusPlace(const std::string &sysfsRoot, int node)
{
    std::string devices;
    std::vector<std::string> parts;
    if (!devicePath(sysfsRoot, node, &devices, &parts))
        return std::string();
    // The last part is the HID device, numbered anew on every plug.
    parts.pop_back();

    std::size_t usbIf = parts.size();
    while (usbIf > 0 && !isUsbInterface(parts[usbIf - 1]))
        --usbIf;
    std::string place;
    if (usbIf > 0)
        place = formerUsbPlace(devices, parts, usbIf);
    else
        for (const std::string &part : parts)
            place += (place.empty() ? "" : "-") + part;
    return validPlace(place) ? place : std::string();
}
