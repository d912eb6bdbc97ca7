#include "watch.h"

#include <cerrno>
#include <cstring>

#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace mqtt {

Watches::~Watches()
{
    if (inotifyFd >= 0)
        close(inotifyFd);
    if (monitor)
        udev_monitor_unref(monitor);
    if (udevContext)
        udev_unref(udevContext);
}

bool Watches::watchRecord(const std::string &stateDir, std::string *why)
{
    inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        *why = std::string("inotify: ") + std::strerror(errno);
        return false;
    }
    // Writers rename a new file over the record; an editor may write it in
    // place; a purge removes it.
    if (inotify_add_watch(inotifyFd, stateDir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_ONLYDIR) < 0) {
        *why = "cannot watch " + stateDir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool Watches::watchDevices(std::string *why)
{
    udevContext = udev_new();
    monitor = udevContext ? udev_monitor_new_from_netlink(udevContext, "udev") : nullptr;
    int err = 0;
    if (!monitor)
        err = errno ? errno : ENOMEM;
    else if ((err = -udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr)) == 0)
        err = -udev_monitor_enable_receiving(monitor);
    if (err != 0) {
        *why = std::string("cannot watch for displays through udev: ") + std::strerror(err);
        if (monitor)
            udev_monitor_unref(monitor);
        monitor = nullptr;
        return false;
    }
    return true;
}

int Watches::devicesFd() const
{
    return monitor ? udev_monitor_get_fd(monitor) : -1;
}

bool Watches::recordChanged()
{
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    for (;;) {
        const ssize_t n = read(inotifyFd, buf, sizeof buf);
        if (n <= 0)
            return changed;
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
            if (e->len > 0 && std::strcmp(e->name, "levels") == 0)
                changed = true;
            // Lost events: read the record anyway.
            if (e->mask & IN_Q_OVERFLOW)
                changed = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

bool Watches::devicesChanged()
{
    bool changed = false;
    while (udev_device *d = udev_monitor_receive_device(monitor)) {
        changed = true;
        udev_device_unref(d);
    }
    return changed;
}

} // namespace mqtt
