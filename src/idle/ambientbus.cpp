// The room's light on the bus: whether brightness-idle follows it (Home
// Assistant's "Auto brightness"), the light it reads, the curve it learned,
// and the light that another program measured.

#include <cmath>

#include <systemd/sd-bus.h>

#include "control/clock.h"
#include "idle/service.h"

namespace idle {

int Service::getAmbient(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
                        void *data, sd_bus_error *)
{
    const Service *self = static_cast<Service *>(data);
    const IdleStatus s = self->controller.status();
    const std::string p = property;
    if (p == "AmbientProfile")
        return sd_bus_message_append(reply, "b", int(self->controller.ambient()));
    if (p == "AutoBrightness")
        return sd_bus_message_append(reply, "b", int(self->controller.ambient() && s.settings.ambient));
    if (p == "Illuminance")
        return sd_bus_message_append(reply, "d", s.lux);
    return sd_bus_message_append(reply, "s", s.curve.c_str());
}

int Service::setAutoBrightness(sd_bus *, const char *, const char *, const char *, sd_bus_message *value,
                               void *data, sd_bus_error *error)
{
    Service *self = static_cast<Service *>(data);
    int on = 0;
    const int r = sd_bus_message_read(value, "b", &on);
    if (r < 0)
        return r;
    if (!self->controller.ambient())
        return sd_bus_error_set(error, SD_BUS_ERROR_NOT_SUPPORTED,
                                "brightness-idle runs without --ambient: it does not follow the room's light");
    Settings s = self->controller.status().settings;
    s.ambient = on ? 1 : 0;
    std::string why;
    if (!self->controller.configure(s, control::monotonicNs(), &why))
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "AutoBrightness: %s", why.c_str());
    self->log.info(on ? "auto brightness is on: the level follows the room's light"
                      : "auto brightness is off: the level stays where it is");
    if (self->settingsSet)
        self->settingsSet(s);
    self->changed();
    return 1;
}

int Service::reportIlluminance(sd_bus_message *call, void *data, sd_bus_error *error)
{
    Service *self = static_cast<Service *>(data);
    double lux = 0;
    const int r = sd_bus_message_read(call, "d", &lux);
    if (r < 0)
        return r;
    if (!std::isfinite(lux) || lux < 0)
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "the room's light is 0 lux or more");
    if (!self->illuminanceTaken || !self->illuminanceTaken(lux))
        return sd_bus_error_set(error, SD_BUS_ERROR_NOT_SUPPORTED,
                                "brightness-idle runs without --ambient: it does not follow the room's light");
    self->changed();
    return sd_bus_reply_method_return(call, "");
}

} // namespace idle
