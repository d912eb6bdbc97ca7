#include "idle/inputs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace idle {

namespace {

const int maxSlots = 64;

// A gpio-key device has one key; a power button one or two.
const int presenceKeys = 4;

bool bit(const unsigned char *bits, int n)
{
    return bits[n / 8] & (1u << (n % 8));
}

bool anyBit(const unsigned char *bits, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        if (bits[i])
            return true;
    return false;
}

// A person's device: keys or buttons, touch or pointer axes; never a
// sensor that moves by itself (an accelerometer also reports ABS_X).
bool personal(int fd, int *slots, bool *onlyPerson, bool *presence)
{
    unsigned char types[EV_MAX / 8 + 1] = {}, keys[KEY_MAX / 8 + 1] = {}, abs[ABS_MAX / 8 + 1] = {},
                  rel[REL_MAX / 8 + 1] = {}, props[INPUT_PROP_MAX / 8 + 1] = {};
    if (ioctl(fd, EVIOCGBIT(0, sizeof types), types) < 0
        || ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0
        || ioctl(fd, EVIOCGBIT(EV_ABS, sizeof abs), abs) < 0
        || ioctl(fd, EVIOCGBIT(EV_REL, sizeof rel), rel) < 0
        || ioctl(fd, EVIOCGPROP(sizeof props), props) < 0)
        return false;
    if (bit(props, INPUT_PROP_ACCELEROMETER))
        return false;
    *onlyPerson = true;
    for (int type = 0; type <= EV_MAX; ++type)
        if (bit(types, type) && type != EV_SYN && type != EV_KEY && type != EV_ABS && type != EV_REL && type != EV_MSC)
            *onlyPerson = false;
    int keyCount = 0;
    bool pointerButton = false;
    for (int k = 0; k <= KEY_MAX; ++k) {
        keyCount += bit(keys, k);
        pointerButton |= bit(keys, k) && k >= BTN_MOUSE && k < BTN_JOYSTICK;
    }
    pointerButton |= bit(keys, BTN_TOUCH) || bit(keys, BTN_TOOL_FINGER);
    *presence = keyCount > 0 && keyCount <= presenceKeys && !pointerButton && !bit(types, EV_ABS)
        && !bit(types, EV_REL) && !bit(types, EV_MSC) && !bit(types, EV_SW) && !bit(types, EV_LED);
    *slots = 0;
    if (bit(types, EV_ABS) && bit(abs, ABS_MT_SLOT) && bit(abs, ABS_MT_TRACKING_ID)) {
        input_absinfo info{};
        if (ioctl(fd, EVIOCGABS(ABS_MT_SLOT), &info) < 0)
            return false;
        *slots = std::min(info.maximum + 1, maxSlots);
    }
    return (bit(types, EV_KEY) && anyBit(keys, sizeof keys))
        || (bit(types, EV_ABS) && (bit(abs, ABS_X) || bit(abs, ABS_MT_POSITION_X)))
        || (bit(types, EV_REL) && bit(rel, REL_X));
}

} // namespace

Inputs::~Inputs()
{
    for (InputDevice &d : open)
        close(d.fd);
}

InputDevice *Inputs::add(const std::string &path, int *openError)
{
    for (InputDevice &d : open)
        if (d.path == path)
            return nullptr;
    // Read-only: nothing is ever written to a person's device.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (openError)
            *openError = errno;
        return nullptr;
    }
    int slots = 0;
    bool onlyPerson = false, presence = false;
    if (!personal(fd, &slots, &onlyPerson, &presence)) {
        close(fd);
        return nullptr;
    }
    open.push_back({path, fd, slots, onlyPerson, presence, {}});
    if (presence) {
        // A sensor already reporting someone when the program starts.
        unsigned char keys[KEY_MAX / 8 + 1] = {};
        if (ioctl(fd, EVIOCGKEY(sizeof keys), keys) == 0)
            for (int k = 0; k <= KEY_MAX; ++k)
                if (bit(keys, k))
                    open.back().down.push_back(k);
    }
    return &open.back();
}

InputDevice &Inputs::adopt(const std::string &path, int fd, bool onlyPerson, bool presence)
{
    open.push_back({path, fd, 0, onlyPerson, presence, {}});
    return open.back();
}

void Inputs::remove(const std::string &path)
{
    for (auto it = open.begin(); it != open.end(); ++it) {
        if (it->path == path) {
            close(it->fd);
            open.erase(it);
            return;
        }
    }
}

std::vector<std::pair<std::string, int>> Inputs::scan(const std::string &dir)
{
    std::vector<std::pair<std::string, int>> refused;
    DIR *d = opendir(dir.c_str());
    if (!d) {
        // None at all (ENOENT) is no fault: the monitor sees the first come.
        if (errno != ENOENT)
            refused.emplace_back(dir, errno);
        return refused;
    }
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d);
        if (!e)
            break;
        int error = 0;
        const std::string path = dir + '/' + e->d_name;
        if (std::strncmp(e->d_name, "event", 5) == 0 && !add(path, &error) && error)
            refused.emplace_back(path, error);
    }
    // The devices past a failed read are missed: that is said, not hidden.
    if (errno)
        refused.emplace_back(dir, errno);
    closedir(d);
    return refused;
}

bool Inputs::drain(InputDevice &device, bool *gone)
{
    // One read: what is left keeps the node readable for the next poll, and
    // a wake must not wait for a second read.
    input_event events[64];
    *gone = false;
    const ssize_t n = read(device.fd, events, sizeof events);
    if (n <= 0) {
        // EAGAIN: nothing after all. Anything else: the device is unusable.
        *gone = n == 0 || (errno != EAGAIN && errno != EINTR);
        return false;
    }
    bool someone = false;
    for (std::size_t i = 0; i < std::size_t(n) / sizeof events[0]; ++i) {
        const unsigned type = events[i].type;
        someone |= type == EV_KEY || type == EV_ABS || type == EV_REL;
        if (!device.presence || type != EV_KEY)
            continue;
        auto &down = device.down;
        const auto at = std::find(down.begin(), down.end(), events[i].code);
        if (events[i].value == 0 && at != down.end())
            down.erase(at);
        else if (events[i].value != 0 && at == down.end())
            down.push_back(events[i].code);
    }
    return someone;
}

bool Inputs::grab(InputDevice &device, std::string *why)
{
    if (device.grabbed)
        return true;
    if (ioctl(device.fd, EVIOCGRAB, 1) < 0) {
        *why = std::strerror(errno);
        return false;
    }
    device.grabbed = true;
    return true;
}

void Inputs::release(InputDevice &device)
{
    // Fails only for a device that is gone, whose grab is gone with it.
    if (device.grabbed)
        ioctl(device.fd, EVIOCGRAB, 0);
    device.grabbed = false;
}

bool Inputs::held(const InputDevice &device)
{
    unsigned char keys[KEY_MAX / 8 + 1] = {};
    // A device that does not answer holds nothing worth waiting for.
    if (ioctl(device.fd, EVIOCGKEY(sizeof keys), keys) < 0)
        return false;
    if (anyBit(keys, sizeof keys))
        return true;
    if (device.touchSlots == 0)
        return false;
    std::vector<__s32> request(1 + std::size_t(device.touchSlots));
    request[0] = ABS_MT_TRACKING_ID;
    if (ioctl(device.fd, EVIOCGMTSLOTS(request.size() * sizeof request[0]), request.data()) < 0)
        return false;
    for (std::size_t i = 1; i < request.size(); ++i)
        if (request[i] != -1)
            return true;
    return false;
}

} // namespace idle
