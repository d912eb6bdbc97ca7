#ifndef IDLE_AMBIENTSOURCE_H
#define IDLE_AMBIENTSOURCE_H

// The room's light on the loop: a light sensor read once a second while
// there is one, looked for again when an IIO device is plugged in; without
// one, the light another program measured, held and given once a second
// as a sensor's, so that it is smoothed alike. With neither, it costs no
// wake-up.

#include <cstdint>
#include <functional>
#include <string>

#include "control/log.h"
#include "control/watch.h"
#include "idle/lightsensor.h"

struct sd_event;
struct sd_event_source;

namespace idle {

class AmbientSource
{
public:
    using Handler = std::function<void(double lux, long long now)>;

    AmbientSource(const std::string &sysfsRoot, control::Log &log, Handler handler);
    ~AmbientSource();
    AmbientSource(const AmbientSource &) = delete;
    AmbientSource &operator=(const AmbientSource &) = delete;

    bool open(sd_event *loop, std::string *why);
    // The room's light as another program measured it; a sensor here wins.
    void external(double lux);

private:
    static int onTick(sd_event_source *source, std::uint64_t usec, void *self);
    void look();
    void lost(const std::string &why);

    LightSensor sensor;
    control::Log &log;
    Handler handler;
    control::DeviceMonitor monitor;
    sd_event_source *tick = nullptr;
    bool reading = false;      // from the sensor
    bool failing = false;      // its last reading failed
    double given = -1;         // another program's, -1 while none
};

} // namespace idle

#endif
