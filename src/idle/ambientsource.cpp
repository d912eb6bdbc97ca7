#include "idle/ambientsource.h"

#include <cstring>

#include <systemd/sd-event.h>

#include "control/clock.h"

namespace idle {

namespace {

// The sensor's own readings come this often at most (a BH1750 takes
// 120 ms per reading): once a second follows any room.
const std::uint64_t periodUs = 1000000;

} // namespace

AmbientSource::AmbientSource(const std::string &sysfsRoot, control::Log &log, Handler handler)
    : sensor(sysfsRoot), log(log), handler(std::move(handler))
{
}

AmbientSource::~AmbientSource()
{
    sd_event_source_disable_unref(tick);
}

bool AmbientSource::open(sd_event *loop, std::string *why)
{
    int r = sd_event_add_time_relative(loop, &tick, CLOCK_MONOTONIC, periodUs, periodUs / 10, onTick, this);
    if (r >= 0)
        r = sd_event_source_set_enabled(tick, SD_EVENT_OFF);
    if (r < 0) {
        *why = std::string("event loop: ") + std::strerror(-r);
        return false;
    }
    std::string problem;
    if (!monitor.open(loop, "iio", "", [this](bool added, const std::string &) {
            if (added && !reading)
                look();
        }, &problem))
        log.warning(problem + "; a light sensor plugged in later is seen at the next start");
    look();
    if (!reading)
        log.warning("--ambient: no light sensor yet; the level follows the room once one is there, "
                    "or once brightness-mqtt hands on Home Assistant's");
    return true;
}

void AmbientSource::look()
{
    std::string why;
    double lux = 0;
    if (!sensor.read(&lux, &why))
        return;
    reading = true;
    failing = false;
    log.info("the room's light from the " + sensor.describe());
    handler(lux, control::monotonicNs());
    sd_event_source_set_time_relative(tick, periodUs);
    sd_event_source_set_enabled(tick, SD_EVENT_ON);
}

void AmbientSource::external(double lux)
{
    if (reading)
        return;
    if (given < 0)
        log.info("the room's light from another program (Home Assistant's sensor, through brightness-mqtt)");
    given = lux;
    handler(lux, control::monotonicNs());
    if (sd_event_source_get_enabled(tick, nullptr) <= 0) {
        sd_event_source_set_time_relative(tick, periodUs);
        sd_event_source_set_enabled(tick, SD_EVENT_ON);
    }
}

void AmbientSource::lost(const std::string &why)
{
    reading = false;
    if (given < 0)
        sd_event_source_set_enabled(tick, SD_EVENT_OFF);
    log.warning("the light sensor is gone (" + why + "); "
                + (given < 0 ? "the level stays until one is there" : "the light another program gives holds"));
}

int AmbientSource::onTick(sd_event_source *, std::uint64_t, void *self)
{
    AmbientSource *s = static_cast<AmbientSource *>(self);
    if (!s->reading) {
        s->handler(s->given, control::monotonicNs());
        sd_event_source_set_time_relative(s->tick, periodUs);
        return 0;
    }
    std::string why;
    double lux = 0;
    if (!s->sensor.read(&lux, &why)) {
        s->failing = true;
        // Gone, and none found again: the monitor tells of the next one.
        if (s->sensor.path().empty())
            s->lost(why);
        else
            s->log.limited("light sensor", control::Priority::Warning, "cannot read the light sensor: " + why,
                           control::monotonicNs());
        if (s->reading || s->given >= 0)
            sd_event_source_set_time_relative(s->tick, periodUs);
        return 0;
    }
    if (s->failing) {
        s->failing = false;
        s->log.info("the room's light from the " + s->sensor.describe() + " again");
    }
    s->handler(lux, control::monotonicNs());
    sd_event_source_set_time_relative(s->tick, periodUs);
    return 0;
}

} // namespace idle
