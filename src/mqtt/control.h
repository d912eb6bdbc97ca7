#ifndef MQTT_CONTROL_H
#define MQTT_CONTROL_H

// The bridge's one door into the control library: a command applied to the
// displays, and a display's state read from its record entry.

#include <string>
#include <vector>

#include "control/environment.h"
#include "control/fade.h"
#include "control/values.h"
#include "mqtt/messages.h"
#include "mqtt/payload.h"

namespace mqtt {

// The command as the control library's request on one display.
std::vector<control::Job> jobsFor(const Command &command, const control::Display &display);
// Its record writes are left for the bridge to flush (deferSync).
control::FadePlan planFor(const Command &command);

PanelState panelStateOf(const control::Entry *entry);
// What a display shows in that state, as the record will say it.
PanelState panelStateOf(const control::ScreenState &state);

} // namespace mqtt

#endif
