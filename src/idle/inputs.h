#ifndef IDLE_INPUTS_H
#define IDLE_INPUTS_H

// The evdev nodes a person uses: keys, buttons, touch or pointer axes. Their
// events are read only to learn that someone is there; no code, value or
// coordinate is kept.

#include <list>
#include <string>
#include <utility>
#include <vector>

namespace idle {

struct InputDevice {
    std::string path;  // /dev/input/eventN
    int fd = -1;
    int touchSlots = 0;  // multitouch slots, 0 without
    // It sends nothing but what a person does (no LEDs, switches, sounds,
    // repeat settings or force feedback that a program may set off).
    bool onlyPerson = false;
    // Nothing but a few keys: a presence sensor on a GPIO pin (the gpio-key
    // overlay), or a power button. Someone is there while a key is down;
    // never grabbed, so that logind still sees a power button.
    bool presence = false;
    std::vector<int> down;  // presence: the keys down, as its events tell
    bool grabbed = false;
    bool grabRefused = false;  // said once already
};

class Inputs
{
public:
    Inputs() = default;
    ~Inputs();
    Inputs(const Inputs &) = delete;
    Inputs &operator=(const Inputs &) = delete;

    // Every /dev/input/event* (in dir) a person uses; the others are closed
    // again. The nodes that could not be opened, with errno, and dir itself
    // when it could not be read to its end.
    std::vector<std::pair<std::string, int>> scan(const std::string &dir = "/dev/input");
    // The node, if a person uses it and it is not open yet; the new device
    // or null.
    InputDevice *add(const std::string &path, int *openError = nullptr);
    void remove(const std::string &path);
    // A descriptor open already, of the kind given: for a stand-in that
    // cannot answer evdev's questions. The device takes the descriptor.
    InputDevice &adopt(const std::string &path, int fd, bool onlyPerson, bool presence = false);
    std::list<InputDevice> &devices() { return open; }
    const std::list<InputDevice> &devices() const { return open; }
    bool empty() const { return open.empty(); }

    // Reads what is waiting, up to 64 events: true if it tells of someone.
    // *gone: the device went away and must be removed.
    static bool drain(InputDevice &device, bool *gone);
    // EVIOCGRAB: the device's events reach this program alone.
    static bool grab(InputDevice &device, std::string *why);
    static void release(InputDevice &device);
    // A key, button or touch is down, as the kernel's state has it.
    static bool held(const InputDevice &device);

private:
    std::list<InputDevice> open;  // stable addresses for callers
};

} // namespace idle

#endif
