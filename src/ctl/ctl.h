#ifndef CTL_H
#define CTL_H

// brightness-ctl: sets the display's backlight from a script or a terminal,
// without a display server. The steps are kept apart (parse, find, write) so
// that each can be exercised alone.

#include <iosfwd>
#include <string>
#include <vector>

#include "sysfs.h"
#include "values.h"

namespace ctl {

// Exit statuses. When several apply, the one ranked first wins:
// Usage, then Permission, then Failure. A fade cut short by a signal ends
// with 128 + the signal's number, as if the signal had ended the program.
enum Status {
    Ok = 0,
    Failure = 1,     // no display found, or a display could not be set
    Usage = 2,       // bad command line or value; nothing was opened
    Permission = 3,  // a display's node exists but access was refused
};

// The more important of two statuses, by the ranking above.
int worse(int a, int b);

// Monotonic time for fades and retries.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual long long now() = 0;  // nanoseconds
    // Returns at the given time, or earlier when a signal arrives.
    virtual void sleepUntil(long long when) = 0;
};

// What the program reads from and writes to besides the device nodes.
// Only the program's own main and the tests build one.
struct Environment {
    std::string sysfsRoot;  // "/sys" on a real system
    std::string stateDir;   // where the record of levels lives
    std::ostream *out;
    std::ostream *err;
    Clock *clock = nullptr;  // null: the system's monotonic clock
};

// The floor for relative steps and restores when --min is not given.
const int defaultFloor = 5;
// A fade writes at most this often.
const int fadeIntervalMs = 20;
// How long a restore keeps trying a display that is not ready yet, and how
// often.
const int restoreWindowMs = 5000;
const int restoreRetryMs = 250;

// A node's identity as sysfs names it: shared with the window's search.
using Identity = DisplayIdentity;
using ::parseUevent;
using ::sysfsIdentity;

std::string nodePath(int node);
std::string formatIdentity(const Identity &id);  // "0483:5750"

// The display's place on the bus as sysfs shows it: udev's ID_PATH for the
// node, as its path_id builtin composes it
// ("platform-fd500000.pcie-pci-0000:01:00.0-usb-0:1.2:1.0"); where udev
// gives none (uhid), the chain of parent devices joined by '-'; empty when
// sysfs has no device for the node.
std::string busPlace(const std::string &sysfsRoot, int node);
// The place as earlier versions wrote it into the record: the same but for
// a USB controller, which is named alone by its own bus and address
// ("pci-0000:01:00.0-usb-0:1.2:1.0"), without the devices above it.
std::string formerBusPlace(const std::string &sysfsRoot, int node);

struct Display {
    int node;
    int fd;  // -1 when access was refused
    Identity id;
    std::string place;  // see busPlace
};

// Which displays a command acts on: all, one node, or one bus place.
struct Selection {
    int node = -1;
    std::string place;
};

// "/dev/hidrawN" (N 0 to 9) or a bus place.
bool parseSelection(const std::string &text, Selection *selection);

struct Scan {
    std::vector<Display> usable;   // open, identity confirmed by the kernel
    std::vector<Display> refused;  // named from sysfs, open refused
    int status = Ok;               // problems met on the way
};

// Looks at /dev/hidraw0 to /dev/hidraw9 and opens every accepted display,
// reporting problems on env.err as it meets them.
Scan findDisplays(const Environment &env);
Scan findDisplays(const Environment &env, const Selection &selection);

// Writes the brightness report with this level once to each display;
// Failure if any write failed, each failure reported on env.err.
int sendLevel(const std::vector<Display> &displays, unsigned char level,
              const Environment &env);

void closeDisplays(Scan *scan);

// The whole program; argv as main receives it.
int run(int argc, char **argv, const Environment &env);

} // namespace ctl

#endif
