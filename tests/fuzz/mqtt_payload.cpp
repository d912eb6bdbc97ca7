// brightness-mqtt's command payloads: whatever arrives on a command topic.

#include "fuzz.h"
#include "mqtt/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
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
