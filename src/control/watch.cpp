#include "control/watch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <grp.h>
#include <pwd.h>

#include <sys/inotify.h>
#include <systemd/sd-device.h>
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
}

bool RecordWatch::open(sd_event *loop, const std::string &stateDir, std::function<void()> onChange, std::string *why)
{
    changed = std::move(onChange);
    const int r = sd_event_add_inotify(loop, &source, stateDir.c_str(),
                                       IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_ONLYDIR, dispatch, this);
    if (r < 0) {
        *why = "cannot watch " + stateDir + ": " + std::strerror(-r)
            + (r == -EACCES || r == -EPERM ? accessHint() : std::string());
        return false;
    }
    return true;
}

int RecordWatch::dispatch(sd_event_source *, const inotify_event *e, void *self)
{
    // An overflow: the kernel dropped events, the record among them maybe.
    if ((e->len > 0 && std::strcmp(e->name, "levels") == 0) || (e->mask & IN_Q_OVERFLOW))
        static_cast<RecordWatch *>(self)->changed();
    return 0;
}

DeviceMonitor::~DeviceMonitor()
{
    if (monitor) {
        sd_device_monitor_stop(monitor);
        sd_device_monitor_unref(monitor);
    }
}

bool DeviceMonitor::open(sd_event *loop, const char *subsystem, const char *nodePrefix, Handler onEvent,
                         std::string *why)
{
    prefix = nodePrefix;
    handler = std::move(onEvent);
    int r = sd_device_monitor_new(&monitor);
    if (r >= 0)
        r = sd_device_monitor_filter_add_match_subsystem_devtype(monitor, subsystem, nullptr);
    if (r >= 0)
        r = sd_device_monitor_attach_event(monitor, loop);
    if (r >= 0)
        r = sd_device_monitor_start(monitor, dispatch, this);
    if (r < 0) {
        *why = std::string("cannot watch for devices through udev: ") + std::strerror(-r);
        return false;
    }
    return true;
}

int DeviceMonitor::dispatch(sd_device_monitor *, sd_device *device, void *self)
{
    auto *m = static_cast<DeviceMonitor *>(self);
    sd_device_action_t action;
    const char *node = nullptr, *sysname = nullptr;
    if (sd_device_get_action(device, &action) < 0 || sd_device_get_devname(device, &node) < 0
        || sd_device_get_sysname(device, &sysname) < 0)
        return 0;
    if (std::strncmp(sysname, m->prefix.c_str(), m->prefix.size()) == 0
        && (action == SD_DEVICE_ADD || action == SD_DEVICE_REMOVE))
        m->handler(action == SD_DEVICE_ADD, node);
    return 0;
}

} // namespace control
