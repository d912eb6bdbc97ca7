#include "mqtt/control.h"

#include <ostream>

#include "control/displays.h"
#include "control/fade.h"
#include "control/status.h"

namespace mqtt {

std::vector<control::Job> jobsFor(const Command &command, const control::Display &display)
{
    control::Job job;
    job.display = display;
    job.value.percent = true;
    job.value.amount = command.level;
    job.action = command.action == LightAction::On    ? control::Action::On
                 : command.action == LightAction::Off ? control::Action::Off
                                                 : control::Action::Set;
    return {job};
}

control::FadePlan planFor(const Command &command)
{
    control::FadePlan plan;
    plan.fadeMs = command.fadeMs;
    // The bridge flushes the record itself, at most once a second.
    plan.deferSync = true;
    return plan;
}

PanelState panelStateOf(const control::Entry *entry)
{
    PanelState s;
    if (!entry)
        return s;
    s.known = true;
    s.brightness = control::shownLevel(*entry);
    s.on = s.brightness > 0;
    s.levelRemembered = entry->level != control::nothingRemembered;
    s.remembered = s.levelRemembered ? entry->level : control::firstUseLevel;
    s.dimmed = entry->shown > 0;
    return s;
}

PanelState panelStateOf(const control::ScreenState &state)
{
    PanelState s;
    s.known = true;
    s.brightness = control::shownOf(state);
    s.on = s.brightness > 0;
    s.levelRemembered = state.level != control::nothingRemembered;
    s.remembered = s.levelRemembered ? state.level : control::firstUseLevel;
    s.dimmed = state.power == control::Power::Dimmed;
    return s;
}

} // namespace mqtt
