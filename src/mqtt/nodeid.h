#ifndef MQTT_NODEID_H
#define MQTT_NODEID_H

#include <string>

namespace mqtt {

// "brightness_" and 12 hex digits derived from /etc/machine-id for this
// program alone (the machine id itself is never sent out): the same on
// every start, different on every machine.
bool machineNodeId(std::string *id, std::string *why);

} // namespace mqtt

#endif
