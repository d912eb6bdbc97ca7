#ifndef MQTT_CONTROL_H
#define MQTT_CONTROL_H

// The bridge's one door into the control library: a command applied to the
// displays, and a display's state read from its record entry.

#include <string>

#include "environment.h"
#include "values.h"
#include "messages.h"
#include "payload.h"

namespace mqtt {

// Applies the command to the display at place, or to every display when
// place is empty; writes the record; messages on env.err. A Status.
int applyCommand(const Command &command, const std::string &place, const ctl::Environment &env);

PanelState stateOf(const ctl::Entry *entry);

} // namespace mqtt

#endif
