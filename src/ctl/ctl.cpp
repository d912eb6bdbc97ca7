#include "ctl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "protocol.h"

namespace ctl {

namespace {

const char program[] = "brightness-ctl";
// The same nodes, in the same order, as the window searches.
const int nodeCount = 10;

const char usageText[] =
    "Usage: brightness-ctl set STEP       set step 0 to 10 (STEP x 10 percent)\n"
    "       brightness-ctl set PERCENT%   set 0% to 100%\n"
    "       brightness-ctl list           list the displays found\n"
    "       brightness-ctl -h | --help    show this help\n"
    "       brightness-ctl --version      show the version\n"
    "\n"
    "Every display on /dev/hidraw0 to /dev/hidraw9 with USB ID 0eef:0005,\n"
    "0483:5750 or 0484:5750 is set; no display server is needed.\n"
    "\n"
    "Exit status: 0 done; 1 no display found, or a display could not be set;\n"
    "2 bad command line or value (nothing is sent); 3 access to a display was\n"
    "refused. When several apply: 2 before 3 before 1.\n";

int rank(int status)
{
    switch (status) {
    case Usage: return 3;
    case Permission: return 2;
    case Failure: return 1;
    default: return 0;
    }
}

std::ostream &say(const Environment &env)
{
    return *env.err << program << ": ";
}

// A display's node that would not open.
void noteOpenFailure(int node, int err, const Identity &named, const Environment &env, Scan *scan)
{
    say(env) << nodePath(node) << ": cannot open display " << formatIdentity(named) << ": "
             << std::strerror(err) << '\n';
    if (err == EACCES || err == EPERM) {
        scan->refused.push_back({node, -1, named});
        scan->status = worse(scan->status, Permission);
    } else {
        scan->status = worse(scan->status, Failure);
    }
}

void examine(int node, const Environment &env, Scan *scan)
{
    const std::string path = nodePath(node);
    Identity named{};
    const bool namedDisplay = sysfsIdentity(env.sysfsRoot, node, &named)
        && isAcceptedDisplay(static_cast<short>(named.vendor), static_cast<short>(named.product));

    // No O_NONBLOCK: hidraw honours it only for reads, which this program
    // never makes; a write is bounded by the USB transfer's own timeout.
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        // Absent nodes and other people's devices are none of our business.
        if (namedDisplay)
            noteOpenFailure(node, errno, named, env, scan);
        return;
    }

    hidraw_devinfo info{};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0) {
        const int err = errno;
        close(fd);
        if (namedDisplay) {
            say(env) << path << ": cannot read identity: " << std::strerror(err) << '\n';
            scan->status = worse(scan->status, Failure);
        }
        return;
    }
    if (!isAcceptedDisplay(info.vendor, info.product)) {
        close(fd);
        return;
    }
    scan->usable.push_back({node, fd,
                            {static_cast<unsigned short>(info.vendor),
                             static_cast<unsigned short>(info.product)}});
}

// True, after saying so, when nothing at all was found.
bool reportNoDisplay(const Scan &scan, const Environment &env)
{
    if (!scan.usable.empty() || !scan.refused.empty())
        return false;
    // A display that failed in another way has been named already.
    if (scan.status == Ok)
        say(env) << "no display found on /dev/hidraw0 to /dev/hidraw9"
                    " (USB ID 0eef:0005, 0483:5750 or 0484:5750)\n";
    return true;
}

int commandSet(const std::string &value, const Environment &env)
{
    const int level = parseLevel(value);
    if (level < 0) {
        say(env) << "invalid brightness '" << value
                 << "': give a step from 0 to 10 or a percentage from 0% to 100%\n";
        return Usage;
    }
    Scan scan = findDisplays(env);
    int status = scan.status;
    if (reportNoDisplay(scan, env))
        status = worse(status, Failure);
    status = worse(status, sendLevel(scan.usable, static_cast<unsigned char>(level), env));
    closeDisplays(&scan);
    return status;
}

int commandList(const Environment &env)
{
    Scan scan = findDisplays(env);
    int status = scan.status;
    if (reportNoDisplay(scan, env))
        status = worse(status, Failure);

    std::vector<Display> all = scan.usable;
    all.insert(all.end(), scan.refused.begin(), scan.refused.end());
    std::sort(all.begin(), all.end(),
              [](const Display &a, const Display &b) { return a.node < b.node; });
    for (const Display &d : all) {
        *env.out << nodePath(d.node) << ' ' << formatIdentity(d.id);
        if (d.fd < 0)
            *env.out << " no-permission";
        *env.out << '\n';
    }
    closeDisplays(&scan);
    return status;
}

int usageError(const Environment &env, const std::string &problem)
{
    say(env) << problem << '\n' << usageText;
    return Usage;
}

int dispatch(const std::vector<std::string> &args, const Environment &env)
{
    if (args.empty())
        return usageError(env, "no command given");
    const std::string &command = args[0];
    std::size_t wanted;
    if (command == "set")
        wanted = 2;
    else if (command == "list" || command == "-h" || command == "--help" || command == "--version")
        wanted = 1;
    else
        return usageError(env, "unknown command '" + command + "'");
    if (args.size() < wanted)
        return usageError(env, "'" + command + "' needs a value");
    if (args.size() > wanted)
        return usageError(env, "unexpected argument '" + args[wanted] + "'");

    if (command == "set")
        return commandSet(args[1], env);
    if (command == "list")
        return commandList(env);
    if (command == "--version")
        *env.out << program << ' ' << BRIGHTNESS_VERSION << '\n';
    else
        *env.out << usageText;
    return Ok;
}

} // namespace

int worse(int a, int b)
{
    return rank(b) > rank(a) ? b : a;
}

int parseLevel(const std::string &text)
{
    const bool percent = !text.empty() && text.back() == '%';
    const std::string digits = percent ? text.substr(0, text.size() - 1) : text;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    int value = 0;
    for (char c : digits)
        value = std::min(value * 10 + (c - '0'), 1000);  // saturate: any excess is out of range
    if (percent)
        return value <= 100 ? value : -1;
    return value <= 10 ? value * 10 : -1;
}

std::string nodePath(int node)
{
    return "/dev/hidraw" + std::to_string(node);
}

std::string formatIdentity(const Identity &id)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
    return text;
}

Scan findDisplays(const Environment &env)
{
    Scan scan;
    for (int node = 0; node < nodeCount; ++node)
        examine(node, env, &scan);
    if (!scan.refused.empty())
        say(env) << "the udev rule 70-brightness.rules, which the brightness package installs,"
                    " grants access to the user at the seat and to group plugdev; with it in"
                    " place, reconnect the display or log in again\n";
    return scan;
}

int sendLevel(const std::vector<Display> &displays, unsigned char level, const Environment &env)
{
    unsigned char report[reportSize] = {reportNumber};
    fillBrightnessReport(report, level);
    int status = Ok;
    for (const Display &d : displays) {
        const ssize_t written = write(d.fd, report, sizeof report);
        if (written == static_cast<ssize_t>(sizeof report))
            continue;
        if (written < 0)
            say(env) << nodePath(d.node) << ": write failed: " << std::strerror(errno) << '\n';
        else
            say(env) << nodePath(d.node) << ": write failed: " << written << " of "
                     << sizeof report << " bytes sent\n";
        status = Failure;
    }
    return status;
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
}

int run(int argc, char **argv, const Environment &env)
{
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    int status = dispatch(args, env);
    if (!env.out->flush()) {
        say(env) << "cannot write to standard output\n";
        status = worse(status, Failure);
    }
    return status;
}

} // namespace ctl
