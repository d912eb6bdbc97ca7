#ifndef IDLE_AMBIENTSOURCE_H
#define IDLE_AMBIENTSOURCE_H

// The light sensor on the loop: read once a second while there is one,
// looked for again when an IIO device is plugged in. With none, it costs
// no wake-up.

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

private:
    static int onTick(sd_event_source *source, std::uint64_t usec, void *self);
    void look();
    void lost(const std::string &why);

    LightSensor sensor;
    control::Log &log;
    Handler handler;
    control::DeviceMonitor monitor;
    sd_event_source *tick = nullptr;
    bool reading = false;
};

} // namespace idle

#endif
