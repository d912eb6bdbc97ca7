#include "control/displays.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "control/access.h"
#include "control/status.h"
#include "hid/sysfs.h"

namespace control {

namespace {

// A display's node that would not open.
void noteOpenFailure(int node, int err, const DisplayIdentity &named, const Environment &env, Scan *scan)
{
    say(env, Priority::Error) << hidrawPath(node) << ": cannot open display " << formatIdentity(named) << ": "
             << std::strerror(err) << '\n';
    if (err == EACCES || err == EPERM) {
        scan->refused.push_back({node, -1, named, busPlace(env.sysfsRoot, node), formerBusPlace(env.sysfsRoot, node)});
        scan->status = worse(scan->status, Permission);
    } else {
        scan->status = worse(scan->status, Failure);
    }
}

void examine(int node, const std::string &place, const std::string &formerPlace, const Environment &env,
             Scan *scan)
{
    const std::string path = hidrawPath(node);
    DisplayIdentity named{};
    const bool identified = sysfsIdentity(env.sysfsRoot, node, &named);
    const bool namedDisplay = identified
        && isAcceptedDisplay(static_cast<short>(named.vendor), static_cast<short>(named.product));

    // Write only: that is all this program does, and all the udev rule gives
    // group plugdev (the identity ioctl works on such a descriptor too). No
    // O_NONBLOCK: hidraw honours it only for reads; a write is bounded by the
    // USB transfer's own timeout.
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        // Absent nodes and other people's devices are none of our business,
        // beyond naming them when no display is found.
        const int err = errno;
        if (namedDisplay)
            noteOpenFailure(node, err, named, env, scan);
        else if (err != ENOENT || identified)
            scan->others.push_back({node, identified, named});
        return;
    }

    hidraw_devinfo info{};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0) {
        const int err = errno;
        close(fd);
        if (namedDisplay) {
            say(env) << path << ": cannot read identity: " << std::strerror(err) << '\n';
            scan->status = worse(scan->status, Failure);
        } else {
            scan->others.push_back({node, identified, named});
        }
        return;
    }
    if (!isAcceptedDisplay(info.vendor, info.product)) {
        close(fd);
        scan->others.push_back({node, true, {static_cast<unsigned short>(info.vendor),
                                             static_cast<unsigned short>(info.product)}});
        return;
    }
    scan->usable.push_back({node, fd,
                            {static_cast<unsigned short>(info.vendor),
                             static_cast<unsigned short>(info.product)},
                            place, formerPlace});
}

} // namespace

bool parseSelection(const std::string &text, Selection *selection)
{
    for (int node = 0; node < hidrawNodeCount; ++node)
        if (text == hidrawPath(node)) {
            *selection = Selection();
            selection->node = node;
            return true;
        }
    // A path is a node or nothing: no bus place starts with '/'.
    if (text.compare(0, sizeof hidrawPrefix - 1, hidrawPrefix) == 0 || text[0] == '/' || !validPlace(text))
        return false;
    *selection = Selection();
    selection->place = text;
    return true;
}

Scan findDisplays(const Environment &env, const Selection &selection)
{
    Scan scan;
    for (int node = 0; node < hidrawNodeCount; ++node) {
        if (selection.node >= 0 && node != selection.node)
            continue;
        const std::string place = busPlace(env.sysfsRoot, node);
        const std::string former = formerBusPlace(env.sysfsRoot, node);
        // A place written down before it took udev's form still selects.
        if (!selection.place.empty() && place != selection.place && former != selection.place)
            continue;
        examine(node, place, former, env, &scan);
    }
    if (!scan.refused.empty()) {
        const std::string advice = joinAdvice(membership(env.accessGroup), env.accessGroup);
        say(env) << "the udev rule 70-brightness.rules, which the brightness-tools package installs,"
                    " grants access to the user at the seat and to group " << env.accessGroup << "; "
                 << (advice.empty() ? "with it in place (sudo apt install brightness-tools), reconnect the display"
                                    : advice)
                 << '\n';
    }
    return scan;
}

std::vector<Display> everyDisplay(const Scan &scan)
{
    std::vector<Display> all = scan.usable;
    all.insert(all.end(), scan.refused.begin(), scan.refused.end());
    std::sort(all.begin(), all.end(), [](const Display &a, const Display &b) { return a.node < b.node; });
    return all;
}

int sendLevel(const Display &display, unsigned char level, const Environment &env)
{
    unsigned char report[reportSize] = {reportNumber};
    fillBrightnessReport(report, level);
    const ssize_t written = write(display.fd, report, sizeof report);
    if (written == static_cast<ssize_t>(sizeof report))
        return Ok;
    if (written < 0)
        say(env, Priority::Error) << hidrawPath(display.node) << ": write failed: " << std::strerror(errno) << '\n';
    else
        say(env, Priority::Error) << hidrawPath(display.node) << ": write failed: " << written << " of "
                 << sizeof report << " bytes sent\n";
    return Failure;
}

void closeDisplays(Scan *scan)
{
    // Nothing is buffered on a hidraw descriptor, so a failing close loses nothing.
    for (Display &d : scan->usable) {
        close(d.fd);
        d.fd = -1;
    }
    scan->usable.clear();
    scan->refused.clear();
    scan->others.clear();
}

std::string formatIdentity(const DisplayIdentity &id)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
    return text;
}

std::string acceptedIdentities()
{
    const std::size_t count = sizeof acceptedDisplays / sizeof acceptedDisplays[0];
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i == 0 ? "" : i + 1 == count ? " or " : ", ") + formatIdentity(acceptedDisplays[i]);
    return text;
}

std::string describeOthers(const Scan &scan)
{
    std::string text;
    for (const OtherNode &o : scan.others)
        text += (text.empty() ? "" : ", ") + hidrawPath(o.node) + ' '
            + (o.identified ? formatIdentity(o.id) : "(identity not readable)");
    return text;
}

std::string searchedNodes()
{
    return hidrawPath(0) + " to " + hidrawPath(hidrawNodeCount - 1);
}

} // namespace control
