#include "control.h"

#include <ostream>

#include "displays.h"
#include "fade.h"
#include "status.h"

namespace mqtt {

int applyCommand(const Command &command, const std::string &place, const ctl::Environment &env)
{
    ctl::Selection selection;
    selection.place = place;
    ctl::Scan scan = ctl::findDisplays(env, selection);
    int status = scan.status;
    if (scan.usable.empty() && scan.refused.empty() && status == ctl::Ok) {
        // Unplugged between the command and now: nothing to do.
        ctl::say(env) << "no display found" << (place.empty() ? std::string() : " at " + place) << '\n';
        status = ctl::Failure;
    }
    ctl::Value value;
    value.percent = true;
    value.amount = command.level;
    const ctl::Action action = command.action == Action::On    ? ctl::Action::On
                               : command.action == Action::Off ? ctl::Action::Off
                                                               : ctl::Action::Set;
    ctl::Plan plan;
    plan.fadeMs = command.fadeMs;
    status = ctl::worse(status, ctl::applyTo(scan.usable, action, value, plan, env));
    ctl::closeDisplays(&scan);
    return status;
}

PanelState stateOf(const ctl::Entry *entry)
{
    PanelState s;
    if (!entry)
        return s;
    s.known = true;
    s.brightness = ctl::shownLevel(*entry);
    s.on = s.brightness > 0;
    s.remembered = entry->level;
    s.dimmed = entry->shown > 0;
    return s;
}

} // namespace mqtt
