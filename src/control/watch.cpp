#include "control/watch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <grp.h>
#include <pwd.h>

#include <libudev.h>
#include <sys/inotify.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace control {

namespace {

bool inGroup(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? std::size_t(n) : 0);
    if (n <= 0 || getgroups(n, groups.data()) != n)
        return false;
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// Only group plugdev may read the package's directory (2771): the fix, by
// what is missing.
std::string accessHint()
{
    const group *g = getgrnam("plugdev");
    if (g && inGroup(g->gr_gid))
        return " (the directory should be root:plugdev, mode 2771: "
               "sudo systemd-tmpfiles --create brightness.conf)";
    const passwd *p = getpwuid(geteuid());
    const std::string user = p ? p->pw_name : "$USER";
    return " (" + user + " is not in group plugdev, which may read it: sudo adduser " + user
        + " plugdev, then log in again)";
}

} // namespace

RecordWatch::~RecordWatch()
{
    sd_event_source_disable_unref(source);
    if (fd >= 0)
        close(fd);
}

bool RecordWatch::open(sd_event *loop, const std::string &stateDir, std::function<void()> onChange, std::string *why)
{
    changed = std::move(onChange);
    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        *why = std::string("inotify: ") + std::strerror(errno);
        return false;
    }
    if (inotify_add_watch(fd, stateDir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_ONLYDIR) < 0) {
        const int err = errno;
        *why = "cannot watch " + stateDir + ": " + std::strerror(err)
            + (err == EACCES || err == EPERM ? accessHint() : std::string());
        return false;
    }
    const int r = sd_event_add_io(loop, &source, fd, EPOLLIN, dispatch, this);
    if (r < 0) {
        *why = std::string("cannot watch the record: ") + std::strerror(-r);
        return false;
    }
    return true;
}

int RecordWatch::dispatch(sd_event_source *, int fd, unsigned, void *self)
{
    alignas(inotify_event) char buffer[4096];
    bool touched = false;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
            touched = touched || (e->len > 0 && std::strcmp(e->name, "levels") == 0) || (e->mask & IN_Q_OVERFLOW);
            at += static_cast<ssize_t>(sizeof *e + e->len);
        }
    }
    if (touched)
        static_cast<RecordWatch *>(self)->changed();
    return 0;
}

DeviceMonitor::~DeviceMonitor()
{
    sd_event_source_disable_unref(source);
    if (monitor)
        udev_monitor_unref(monitor);
    if (context)
        udev_unref(context);
}

bool DeviceMonitor::open(sd_event *loop, const char *subsystem, const char *nodePrefix, Handler onEvent,
                         std::string *why)
{
    prefix = nodePrefix;
    handler = std::move(onEvent);
    context = udev_new();
    monitor = context ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    int err = 0;
    if (!monitor)
        err = errno ? errno : ENOMEM;
    else if ((err = -udev_monitor_filter_add_match_subsystem_devtype(monitor, subsystem, nullptr)) == 0
             && (err = -udev_monitor_enable_receiving(monitor)) == 0)
        err = -sd_event_add_io(loop, &source, udev_monitor_get_fd(monitor), EPOLLIN, dispatch, this);
    if (err != 0) {
        *why = std::string("cannot watch for devices through udev: ") + std::strerror(err);
        return false;
    }
    return true;
}

int DeviceMonitor::dispatch(sd_event_source *, int, unsigned, void *self)
{
    auto *m = static_cast<DeviceMonitor *>(self);
    // The monitor's socket is non-blocking: null once nothing is waiting.
    while (udev_device *device = udev_monitor_receive_device(m->monitor)) {
        const char *action = udev_device_get_action(device);
        const char *node = udev_device_get_devnode(device);
        const char *sysname = udev_device_get_sysname(device);
        const bool wanted = node && sysname && std::strncmp(sysname, m->prefix.c_str(), m->prefix.size()) == 0;
        const bool added = action && std::strcmp(action, "add") == 0;
        const bool removed = action && std::strcmp(action, "remove") == 0;
        const std::string path = node ? node : "";
        udev_device_unref(device);
        if (wanted && (added || removed))
            m->handler(added, path);
    }
    return 0;
}

} // namespace control
