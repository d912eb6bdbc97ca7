#ifndef MQTT_IDLEENTITIES_H
#define MQTT_IDLEENTITIES_H

// brightness-idle's settings and state as Home Assistant entities: a binary
// sensor "Idle", a button "Wake", a switch "Stay awake", numbers for the
// times and the night level, with --ambient the room's light and an "Auto
// brightness" switch with the learned curve, announced with the lights'
// device. Each change
// that brightness-idle signals is published once; commands from Home
// Assistant become calls on the bus, one at a time, the newest per entity.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mqtt/idlelink.h"
#include "control/log.h"
#include "mqtt/messages.h"

struct sd_event;
struct sd_event_source;

namespace mqtt {

// The Home Assistant device the entities belong to.
struct IdleDevice {
    std::string id;  // its one identifier
    std::string name;
    std::string model;
    bool operator!=(const IdleDevice &o) const { return id != o.id || name != o.name || model != o.model; }
};

class IdleEntities
{
public:
    using Publish = std::function<void(const std::string &topic, const std::string &payload, bool retain)>;

    IdleEntities(const Topics &topics, const Origin &origin, control::Log &log, Publish publish);
    ~IdleEntities();
    IdleEntities(const IdleEntities &) = delete;
    IdleEntities &operator=(const IdleEntities &) = delete;

    // Follows brightness-idle on the loop; without a system bus the
    // entities are unavailable until it is found (said once).
    void open(sd_event *loop);
    // Announced again where it changed.
    void setDevice(const IdleDevice &device);
    bool hasDevice() const { return !device.id.empty(); }
    // On each connect: every config, the availability, every known state.
    void announce() { offer(true); }

    // What to subscribe to, and whether a topic is one of them.
    std::string commands() const;
    bool isCommand(const std::string &topic) const;
    // A live (not retained) message on one of them.
    void command(const std::string &topic, const char *data, std::size_t size);

    // The room's light from elsewhere, handed to brightness-idle: the
    // newest only, one call at a time.
    void illuminance(double lux);

    // Every topic that may hold a retained message of these entities.
    static std::vector<std::string> retainedTopics(const Topics &topics);

private:
    struct Kept {
        std::string config;  // the config last published, "" for none
        std::string state;   // the state last published
        std::string attributes;  // the attributes last published
        long long shownAgainAt = -1000000000000LL;  // ns: the last state sent again unchanged
    };

    void offer(bool all);
    void presence();
    void changed(const std::string &property);
    void failed(const std::string &property, const std::string &error, const std::string &message);
    void busChanged(bool connected);
    // force: also when it is what was published last; limited: such a
    // repeat at most once a second per entity.
    void publishState(std::size_t entity, bool force, bool limited = true);
    void publishAttributes(std::size_t entity, bool force);
    // The next queued command, unless a call awaits its answer.
    void send();
    static int onQueued(sd_event_source *source, void *self);
    std::string config(std::size_t entity) const;

    const Topics &topics;
    Origin origin;
    control::Log &log;
    Publish publish;
    IdleLink link;
    IdleDevice device;
    std::map<std::size_t, Kept> kept;  // by entity
    // Commands not yet sent: per entity the newest value, in the order the
    // entities were first asked, so that a flood makes one call at a time.
    std::map<std::size_t, std::uint32_t> queued;
    std::deque<std::size_t> order;
    double luxQueued = -1;  // the room's light not yet handed on
    // Sends them once nothing else is ready, so that a burst on the
    // connection is taken whole first.
    sd_event_source *later = nullptr;
};

} // namespace mqtt

#endif
