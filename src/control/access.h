#ifndef CONTROL_ACCESS_H
#define CONTROL_ACCESS_H

// What to tell a user refused by a display's node or the record's
// directory: the package's udev rule and directory give both to group
// plugdev, so the fix is most often to join it, or to log in again after
// joining.

#include <string>

namespace control {

// The group that the package gives the displays and the record to.
extern const char *const accessGroup;

struct Membership {
    bool now = false;     // among this process's groups
    bool listed = false;  // in the group database: joined, though maybe after this login began
};

// This process's membership of the group; none when the group is unknown.
Membership membership(const std::string &group);

// The advice for a user that group may not be refused by: empty for a
// member of it now, whose refusal has another cause.
std::string joinAdvice(const Membership &m, const std::string &group);

} // namespace control

#endif
