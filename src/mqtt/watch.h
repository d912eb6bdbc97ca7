#ifndef MQTT_WATCH_H
#define MQTT_WATCH_H

// What tells the bridge that something changed, without polling:
// - the record: inotify on the state directory, where every writer
//   replaces the file by rename;
// - the displays: udev's monitor, whose events come after udev has applied
//   its rules, so a node that appears is already open to group plugdev
//   (the kernel's own uevents, or inotify on /dev, come before that, when
//   the node is still root's alone).

#include <string>

struct udev;
struct udev_monitor;

namespace mqtt {

class Watches
{
public:
    Watches() = default;
    ~Watches();
    Watches(const Watches &) = delete;
    Watches &operator=(const Watches &) = delete;

    bool watchRecord(const std::string &stateDir, std::string *why);
    // False when udev cannot be reached; displays plugged in later are then
    // seen only at the next start.
    bool watchDevices(std::string *why);

    int recordFd() const { return inotifyFd; }
    int devicesFd() const;
    // Drain their events; true when one concerned the record / a hidraw node.
    bool recordChanged();
    bool devicesChanged();

private:
    int inotifyFd = -1;
    struct udev *udevContext = nullptr;
    struct udev_monitor *monitor = nullptr;
};

} // namespace mqtt

#endif
