#ifndef IDLE_HOTPLUG_H
#define IDLE_HOTPLUG_H

// Input devices that appear or go while the program runs, from udev's
// monitor: its events come after udev's rules have run, so a new node
// already has the group and mode that let this program open it (a watch on
// /dev/input would see the node while it is still root's alone).

#include <string>

struct udev;
struct udev_monitor;

namespace idle {

class Hotplug
{
public:
    Hotplug() = default;
    ~Hotplug();
    Hotplug(const Hotplug &) = delete;
    Hotplug &operator=(const Hotplug &) = delete;

    bool open(std::string *why);
    int fd() const;

    // The next waiting event of an evdev node: false when none is left.
    // *added: it appeared (else it went); *node: /dev/input/eventN.
    bool next(bool *added, std::string *node);

private:
    struct udev *context = nullptr;
    struct udev_monitor *monitor = nullptr;
};

} // namespace idle

#endif
