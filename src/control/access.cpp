#include "control/access.h"

#include <cstring>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace control {

const char *const accessGroup = "plugdev";

Membership membership(const std::string &name)
{
    Membership m;
    const struct group *g = getgrnam(name.c_str());
    if (!g)
        return m;
    const gid_t gid = g->gr_gid;
    // Copied before the next database call, which may reuse the storage.
    std::vector<std::string> members;
    for (char **name = g->gr_mem; name && *name; ++name)
        members.emplace_back(*name);

    m.now = getegid() == gid;
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? count : 0);
    if (count > 0 && getgroups(count, groups.data()) == count)
        for (gid_t id : groups)
            m.now = m.now || id == gid;

    const passwd *user = getpwuid(geteuid());
    if (user) {
        m.listed = user->pw_gid == gid;
        for (const std::string &name : members)
            m.listed = m.listed || name == user->pw_name;
    }
    return m;
}

std::string joinAdvice(const Membership &m, const std::string &group)
{
    if (m.now)
        return std::string();
    if (m.listed)
        return "this user joined group " + group + " after this login began: log in again";
    return "this user is not in group " + group + ": sudo adduser $USER " + group + ", then log in again";
}

} // namespace control
