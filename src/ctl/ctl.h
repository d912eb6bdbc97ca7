#ifndef CTL_H
#define CTL_H

// brightness-ctl: sets the display's backlight from a script or a terminal,
// without a display server. The steps are kept apart (parse, find, write) so
// that each can be exercised alone.

#include <iosfwd>
#include <string>
#include <vector>

#include "sysfs.h"

namespace ctl {

// Exit statuses. When several apply, the one ranked first wins:
// Usage, then Permission, then Failure.
enum Status {
    Ok = 0,
    Failure = 1,     // no display found, or a display could not be set
    Usage = 2,       // bad command line or value; nothing was opened
    Permission = 3,  // a display's node exists but access was refused
};

// The more important of two statuses, by the ranking above.
int worse(int a, int b);

// What the program reads from and writes to besides the device nodes.
// Only the program's own main and the tests build one.
struct Environment {
    std::string sysfsRoot;  // "/sys" on a real system
    std::ostream *out;
    std::ostream *err;
};

// "N" (step 0 to 10, sent as N x 10 percent) or "P%" (0 to 100 percent):
// the level byte in percent, or -1 for anything else, signs, blanks and
// other bases included.
int parseLevel(const std::string &text);

// A node's identity as sysfs names it: shared with the window's search.
using Identity = DisplayIdentity;
using ::parseUevent;
using ::sysfsIdentity;

std::string nodePath(int node);
std::string formatIdentity(const Identity &id);  // "0483:5750"

struct Display {
    int node;
    int fd;  // -1 when access was refused
    Identity id;
};

struct Scan {
    std::vector<Display> usable;   // open, identity confirmed by the kernel
    std::vector<Display> refused;  // named from sysfs, open refused
    int status = Ok;               // problems met on the way
};

// Looks at /dev/hidraw0 to /dev/hidraw9 and opens every accepted display,
// reporting problems on env.err as it meets them.
Scan findDisplays(const Environment &env);

// Writes the brightness report with this level once to each display;
// Failure if any write failed, each failure reported on env.err.
int sendLevel(const std::vector<Display> &displays, unsigned char level,
              const Environment &env);

void closeDisplays(Scan *scan);

// The whole program; argv as main receives it.
int run(int argc, char **argv, const Environment &env);

} // namespace ctl

#endif
