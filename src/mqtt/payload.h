#ifndef MQTT_PAYLOAD_H
#define MQTT_PAYLOAD_H

// The JSON commands Home Assistant's JSON-schema light sends, read into one
// request for the displays. Pure: no I/O, so that any input can be checked.

#include <cstddef>
#include <string>

namespace mqtt {

enum class LightAction { On, Off, Set };

struct Command {
    LightAction action = LightAction::On;
    int level = 0;   // Set: 1 to 100 percent
    int fadeMs = 0;  // "transition", 0 to maxTransitionMs
};

// Why a payload was refused; each kind is logged once.
enum class Fault {
    None,
    TooLarge,    // over maxPayload bytes
    NotJson,
    NotObject,
    UnknownKey,
    WrongType,
    OutOfRange,
    NoAction,    // neither "state" nor "brightness"
    Conflict,    // "OFF" with a brightness
};

const std::size_t maxPayload = 4096;
// Home Assistant's own limit for a transition.
const int maxTransitionMs = 6553000;

// {"state":"ON"} lights at the remembered level, {"state":"OFF"} darkens
// and keeps it, {"brightness":N} (1 to 100, with or without "state":"ON")
// sets N percent, brightness 0 darkens like OFF; "transition" in seconds
// (0 to 6553, fractions allowed) fades; "flash" (a number, "short" or
// "long") is taken and ignored, as older Home Assistants send it whatever
// the discovery says. Anything else is a Fault and leaves *command
// untouched.
Fault parseCommand(const char *data, std::size_t size, Command *command);

// A short English phrase for the log: "not a JSON object".
const char *faultText(Fault fault);

// The room's light from a Home Assistant sensor's state topic: a number
// ("312", "0.5", as the state stream writes it), or a JSON object with
// "illuminance_lux", "illuminance" or "lux" (the first there), as Zigbee2MQTT
// and ESPHome write them. False for anything else, a negative or not finite
// number among it, and for "unknown" and "unavailable".
bool parseLux(const char *data, std::size_t size, double *lux);

} // namespace mqtt

#endif
