// brightness-mqtt's payloads: whatever arrives on a command topic, or on
// the topic of Home Assistant's illuminance sensor.

#include <cmath>

#include "fuzz.h"
#include "mqtt/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The room's light: a finite lux of 0 or more, or nothing taken.
    double lux = -1;
    if (mqtt::parseLux(reinterpret_cast<const char *>(data), size, &lux))
        FUZZ_CHECK(std::isfinite(lux) && lux >= 0);
    else
        FUZZ_CHECK(lux == -1);

    mqtt::Command command;
    command.level = -7;
    const mqtt::Fault fault = mqtt::parseCommand(reinterpret_cast<const char *>(data), size, &command);
    if (fault != mqtt::Fault::None) {
        // Refused: nothing of it reaches the display.
        FUZZ_CHECK(command.level == -7);
        FUZZ_CHECK(mqtt::faultText(fault)[0] != '\0');
        return 0;
    }
    FUZZ_CHECK(size <= mqtt::maxPayload);
    FUZZ_CHECK(command.fadeMs >= 0 && command.fadeMs <= mqtt::maxTransitionMs);
    if (command.action == mqtt::LightAction::Set)
        FUZZ_CHECK(command.level >= 1 && command.level <= 100);
    else
        FUZZ_CHECK(command.level == 0);
    return 0;
}
