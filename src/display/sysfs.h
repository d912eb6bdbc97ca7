#ifndef SYSFS_H
#define SYSFS_H

// Who a raw HID node belongs to, as the kernel tells it in sysfs; read
// without opening the node, so it works on nodes the process may not open.

#include <string>

#include "protocol.h"

// Reads HID_ID=BUS:VENDOR:PRODUCT from
// <sysfsRoot>/class/hidraw/hidraw<node>/device/uevent; false when the file
// or the line is missing or malformed.
bool sysfsIdentity(const std::string &sysfsRoot, int node, DisplayIdentity *id);

// Parses one uevent text (lines KEY=VALUE) for its first HID_ID line.
bool parseUevent(const std::string &text, DisplayIdentity *id);

#endif
