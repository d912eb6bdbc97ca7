#ifndef IDLE_SEAM_H
#define IDLE_SEAM_H
// TEMPORARY until the control library's off/on/dim land: the same calls
// over brightness-ctl's current functions, without the record.
#include "ctl.h"
namespace ctl {
enum class Action { Set, Restore, On, Off, Toggle, Dim };
struct Request {
    Action action = Action::Set;
    Value value;
    Selection selection;
    int floor = defaultFloor;
    int fadeMs = 0;
};
inline int &shimShown()
{
    static int shown = -1;
    return shown;
}
inline int apply(const Request &r, const Environment &env)
{
    shimShown() = r.action == Action::Off ? 0 : r.action == Action::Dim ? r.value.amount : -1;
    Scan scan = findDisplays(env, r.selection);
    const int level = r.action == Action::Off ? 0 : r.action == Action::Dim ? r.value.amount : 100;
    const int status = worse(scan.status, sendLevel(scan.usable, static_cast<unsigned char>(level), env));
    closeDisplays(&scan);
    return status;
}
inline int shownOf(const Entry &) { return shimShown(); }
} // namespace ctl
#endif
