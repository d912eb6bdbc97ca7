#ifndef CONTROL_WATCH_H
#define CONTROL_WATCH_H

// What tells a daemon that something changed, as sources of its sd-event
// loop (sd-event's own inotify and sd-device's monitor), without polling:
// - the record: inotify on the state directory, where every writer
//   replaces the file by rename (an editor may write it in place, a purge
//   removes it);
// - the devices of one subsystem: udev's monitor, whose events come after
//   udev has applied its rules, so a node that appears is already open to
//   the groups the rules give it (the kernel's own uevents, or inotify on
//   /dev, come before that, while the node is still root's alone).

#include <functional>
#include <string>

struct inotify_event;
struct sd_device;
struct sd_device_monitor;
struct sd_event;
struct sd_event_source;

namespace control {

class RecordWatch
{
public:
    RecordWatch() = default;
    ~RecordWatch();
    RecordWatch(const RecordWatch &) = delete;
    RecordWatch &operator=(const RecordWatch &) = delete;

    // changed: the record was replaced, written or removed, or the kernel
    // dropped events (IN_Q_OVERFLOW), after which it may have been.
    bool open(sd_event *loop, const std::string &stateDir, std::function<void()> changed, std::string *why);

private:
    static int dispatch(sd_event_source *source, const inotify_event *event, void *self);

    sd_event_source *source = nullptr;
    std::function<void()> changed;
};

class DeviceMonitor
{
public:
    // added: the node appeared (else it went); node: its /dev path.
    using Handler = std::function<void(bool added, const std::string &node)>;

    DeviceMonitor() = default;
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor &) = delete;
    DeviceMonitor &operator=(const DeviceMonitor &) = delete;

    // subsystem: "hidraw", "input"; nodePrefix: only nodes whose name
    // starts so ("event" for evdev), "" for all.
    bool open(sd_event *loop, const char *subsystem, const char *nodePrefix, Handler handler, std::string *why);

private:
    static int dispatch(sd_device_monitor *monitor, sd_device *device, void *self);

    sd_device_monitor *monitor = nullptr;
    std::string prefix;
    Handler handler;
};

} // namespace control

#endif
