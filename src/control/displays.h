#ifndef CONTROL_DISPLAYS_H
#define CONTROL_DISPLAYS_H

// Finding the displays and writing the brightness report to them.

#include <string>
#include <vector>

#include "control/environment.h"
#include "hid/protocol.h"

namespace control {

struct Display {
    int node;
    int fd;  // -1 when access was refused
    DisplayIdentity id;
    std::string place;  // see busPlace; empty when sysfs shows none
    std::string formerPlace;  // see formerBusPlace
};

// Which displays a command acts on: all, one node, or one bus place.
struct Selection {
    int node = -1;
    std::string place;
};

// "/dev/hidrawN" (N below hidrawNodeCount) or a bus place.
bool parseSelection(const std::string &text, Selection *selection);

// A hidraw node that is not one of the displays, or whose identity could
// not be read.
struct OtherNode {
    int node;
    bool identified;
    DisplayIdentity id;
};

struct Scan {
    std::vector<Display> usable;   // open, identity confirmed by the kernel
    std::vector<Display> refused;  // named from sysfs, open refused
    std::vector<OtherNode> others; // present, but not a display as far as known
    int status = 0;                // problems met on the way, a Status
};

// Looks at every hidraw node the selection allows and opens every accepted
// display, reporting problems on env.err as it meets them.
Scan findDisplays(const Environment &env, const Selection &selection);

// Both lists of a scan, by node.
std::vector<Display> everyDisplay(const Scan &scan);

// Writes the brightness report with this level once; Failure, reported on
// env.err, when the write failed.
int sendLevel(const Display &display, unsigned char level, const Environment &env);

void closeDisplays(Scan *scan);

std::string formatIdentity(const DisplayIdentity &id);  // "0483:5750"
// "0eef:0005, 0483:5750 or 0484:5750"
std::string acceptedIdentities();
// "/dev/hidraw0 to /dev/hidraw9"
std::string searchedNodes();
// "/dev/hidraw3 046d:c31c, /dev/hidraw5 (identity not readable)"
std::string describeOthers(const Scan &scan);

} // namespace control

#endif
