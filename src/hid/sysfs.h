#ifndef SYSFS_H
#define SYSFS_H

// Who a raw HID node belongs to, as the kernel tells it in sysfs; read
// without opening the node, so it works on nodes the process may not open.

#include <string>

#include "hid/protocol.h"

// The raw HID nodes every program of the project looks at, in this order.
constexpr int hidrawNodeCount = 10;
constexpr char hidrawPrefix[] = "/dev/hidraw";
std::string hidrawPath(int node);  // hidrawPrefix followed by the number

// Reads HID_ID=BUS:VENDOR:PRODUCT from
// <sysfsRoot>/class/hidraw/hidraw<node>/device/uevent; false when the file
// or the line is missing or malformed.
bool sysfsIdentity(const std::string &sysfsRoot, int node, DisplayIdentity *id);

// Parses one uevent text (lines KEY=VALUE) for its first HID_ID line.
bool parseUevent(const std::string &text, DisplayIdentity *id);

// The display's place on the bus as sysfs shows it (place.cpp): udev's
// ID_PATH for the node, as its path_id builtin composes it
// ("platform-fd500000.pcie-pci-0000:01:00.0-usb-0:1.2:1.0"); where udev
// gives none (uhid), the chain of parent devices joined by '-'; empty when
// sysfs has no device for the node or the place would not be a valid one.
std::string busPlace(const std::string &sysfsRoot, int node);
// The place as earlier versions wrote it into the record: the same but for
// a USB controller, which is named alone by its own bus and address
// ("pci-0000:01:00.0-usb-0:1.2:1.0"), without the devices above it.
std::string formerBusPlace(const std::string &sysfsRoot, int node);

// 1 to 255 characters, each a printable ASCII character other than blank
// and '#': a place that fits in one field of a line.
bool validPlace(const std::string &place);

#endif
