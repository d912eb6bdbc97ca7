#include "control.h"

#include <ostream>

#include "displays.h"
#include "fade.h"
#include "status.h"

namespace mqtt {

std::vector<ctl::Job> jobsFor(const Command &command, const ctl::Display &display)
{
    ctl::Job job;
    job.display = display;
    job.value.percent = true;
    job.value.amount = command.level;
    job.action = command.action == LightAction::On    ? ctl::Action::On
                 : command.action == LightAction::Off ? ctl::Action::Off
                                                 : ctl::Action::Set;
    return {job};
}

ctl::FadePlan planFor(const Command &command)
{
    ctl::FadePlan plan;
    plan.fadeMs = command.fadeMs;
    return plan;
}

PanelState panelStateOf(const ctl::Entry *entry)
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
