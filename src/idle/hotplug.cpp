#include "hotplug.h"

#include <cerrno>
#include <cstring>

#include <libudev.h>

namespace idle {

Hotplug::~Hotplug()
{
    if (monitor)
        udev_monitor_unref(monitor);
    if (context)
        udev_unref(context);
}

bool Hotplug::open(std::string *why)
{
    context = udev_new();
    if (!context) {
        *why = std::string("udev: ") + std::strerror(errno);
        return false;
    }
    monitor = udev_monitor_new_from_netlink(context, "udev");
    if (!monitor) {
        *why = std::string("udev monitor: ") + std::strerror(errno);
        return false;
    }
    int r = udev_monitor_filter_add_match_subsystem_devtype(monitor, "input", nullptr);
    if (r >= 0)
        r = udev_monitor_enable_receiving(monitor);
    if (r < 0) {
        *why = std::string("udev monitor: ") + std::strerror(-r);
        return false;
    }
    return true;
}

int Hotplug::fd() const
{
    return monitor ? udev_monitor_get_fd(monitor) : -1;
}

bool Hotplug::next(bool *added, std::string *node)
{
    // The monitor's socket is non-blocking: null once nothing is waiting.
    while (udev_device *device = udev_monitor_receive_device(monitor)) {
        const char *action = udev_device_get_action(device);
        const char *devnode = udev_device_get_devnode(device);
        const char *sysname = udev_device_get_sysname(device);
        const bool event = devnode && sysname && std::strncmp(sysname, "event", 5) == 0;
        if (event && action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0)) {
            *added = std::strcmp(action, "add") == 0;
            *node = devnode;
            udev_device_unref(device);
            return true;
        }
        udev_device_unref(device);
    }
    return false;
}

} // namespace idle
