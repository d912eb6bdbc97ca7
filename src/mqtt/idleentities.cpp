#include "mqtt/idleentities.h"

#include <utility>

#include <nlohmann/json.hpp>
#include <systemd/sd-event.h>

#include "mqtt/bridge.h"
#include "control/clock.h"

namespace mqtt {

using nlohmann::json;

namespace {

// Sensor: a binary sensor; Measure: a sensor of a measurement.
enum class Kind { Sensor, Measure, Button, Switch, Number };
// When an entity is offered: always, with a dim stage, with a night
// profile, with both, or with --ambient.
enum class Need { Always, Dim, Night, NightDim, Ambient };

struct Entity {
    const char *key;       // in topics and the unique id
    const char *name;
    Kind kind;
    const char *property;  // brightness-idle's; Wake() for the button
    Need need;
    unsigned low = 0, high = 0;  // a number's range, as the interface's
    const char *unit = nullptr;
    const char *category = nullptr;
    // How Home Assistant shows it: a class of its own, else an icon.
    const char *deviceClass = nullptr;
    const char *icon = nullptr;
    // A text property published as the entity's attributes, {"KEY": text}.
    const char *attributes = nullptr;
    const char *attributeKey = nullptr;
};

const unsigned day = 86400;
// Their times and levels are what the command line takes; 0 stands for
// never (off after), as by day (night times) or the remembered level.
const Entity entities[] = {
    {"idle", "Idle", Kind::Sensor, "Idle", Need::Always, 0, 0, nullptr, nullptr, nullptr, "mdi:sleep"},
    {"wake", "Wake", Kind::Button, "Wake()", Need::Always},
    {"stay_awake", "Stay awake", Kind::Switch, "StayAwake", Need::Always},
    {"inhibited", "Inhibited", Kind::Sensor, "Inhibited", Need::Always, 0, 0, nullptr, "diagnostic", nullptr,
     "mdi:sleep-off"},
    {"presence", "Presence", Kind::Sensor, "Presence", Need::Always, 0, 0, nullptr, "diagnostic", "occupancy"},
    {"night", "Night", Kind::Sensor, "Night", Need::Night, 0, 0, nullptr, nullptr, nullptr, "mdi:weather-night"},
    {"after", "Idle after", Kind::Number, "After", Need::Always, 1, day, "s", "config"},
    {"off_after", "Off after dim", Kind::Number, "OffAfter", Need::Dim, 0, day, "s", "config"},
    {"night_after", "Night idle after", Kind::Number, "NightAfter", Need::Night, 0, day, "s", "config"},
    {"night_off_after", "Night off after", Kind::Number, "NightOffAfter", Need::NightDim, 0, day, "s", "config"},
    {"night_level", "Night level", Kind::Number, "NightLevel", Need::Night, 0, 100, "%", "config"},
    {"illuminance", "Illuminance", Kind::Measure, "Illuminance", Need::Ambient, 0, 0, "lx", nullptr, "illuminance"},
    {"auto_brightness", "Auto brightness", Kind::Switch, "AutoBrightness", Need::Ambient, 0, 0, nullptr, nullptr,
     nullptr, "mdi:brightness-auto", "AmbientCurve", "curve"},
};
const std::size_t entityCount = sizeof entities / sizeof entities[0];

const char *component(Kind kind)
{
    switch (kind) {
    case Kind::Sensor: return "binary_sensor";
    case Kind::Measure: return "sensor";
    case Kind::Button: return "button";
    case Kind::Switch: return "switch";
    case Kind::Number: break;
    }
    return "number";
}

// Home Assistant sends a number as "120", or "120.0" in some versions.
bool parseWhole(const std::string &text, std::uint32_t *value)
{
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "0" : text.substr(dot + 1);
    if (whole.empty() || whole.size() > 10 || whole.find_first_not_of("0123456789") != std::string::npos
        || fraction.empty() || fraction.find_first_not_of('0') != std::string::npos)
        return false;
    const unsigned long long v = std::stoull(whole);
    if (v > 0xffffffffULL)
        return false;
    *value = static_cast<std::uint32_t>(v);
    return true;
}

} // namespace

IdleEntities::IdleEntities(const Topics &topics, const Origin &origin, control::Log &log, Publish publish)
    : topics(topics), origin(origin), log(log), publish(std::move(publish)),
      link({[this] { presence(); }, [this](const std::string &p) { changed(p); },
            [this](const std::string &p, const std::string &e, const std::string &m) { failed(p, e, m); },
            [this] { send(); }, [this](bool connected) { busChanged(connected); }})
{
}

IdleEntities::~IdleEntities()
{
    sd_event_source_disable_unref(later);
}

void IdleEntities::open(sd_event *loop)
{
    // Without it, each command is sent as it comes.
    if (sd_event_add_defer(loop, &later, onQueued, this) < 0
        || sd_event_source_set_priority(later, SD_EVENT_PRIORITY_IDLE) < 0
        || sd_event_source_set_enabled(later, SD_EVENT_OFF) < 0)
        later = sd_event_source_disable_unref(later);
    std::string why;
    if (!link.open(loop, &why))
        log.warning(why + "; brightness-idle's entities are unavailable until it is there (--no-idle leaves them out)");
}

void IdleEntities::busChanged(bool connected)
{
    // A call in flight when the bus went is never answered: what waited
    // behind it goes now.
    send();
    if (connected)
        log.info("found the system bus again");
    else
        log.warning("lost the system bus: brightness-idle's entities are unavailable until it is back");
}

void IdleEntities::setDevice(const IdleDevice &d)
{
    if (!(d != device))
        return;
    device = d;
    offer(false);
}

std::string IdleEntities::commands() const
{
    return topics.idle("+/set");
}

bool IdleEntities::isCommand(const std::string &topic) const
{
    for (const Entity &e : entities)
        if (topic == topics.idle(std::string(e.key) + "/set"))
            return true;
    return false;
}

std::vector<std::string> IdleEntities::retainedTopics(const Topics &topics)
{
    std::vector<std::string> out{topics.idle("availability")};
    for (const Entity &e : entities) {
        out.push_back(topics.idleDiscovery(component(e.kind), e.key));
        if (e.kind != Kind::Button)
            out.push_back(topics.idle(std::string(e.key) + "/state"));
        if (e.attributes)
            out.push_back(topics.idle(std::string(e.key) + "/attributes"));
    }
    return out;
}

std::string IdleEntities::config(std::size_t i) const
{
    const Entity &e = entities[i];
    const std::string id = topics.node() + "_idle_" + e.key;
    json c = {
        {"name", e.name},
        {"unique_id", id},
        // Unavailable while the bridge is, or brightness-idle is not on the bus.
        {"availability", json::array({{{"topic", topics.availability()}}, {{"topic", topics.idle("availability")}}})},
        {"availability_mode", "all"},
        {"device", {{"identifiers", json::array({device.id})}, {"name", device.name}, {"model", device.model}}},
    };
    json source = {{"name", "brightness-mqtt"}, {"sw_version", origin.version}};
    if (!origin.supportUrl.empty())
        source["support_url"] = origin.supportUrl;
    c["origin"] = source;
    if (e.kind != Kind::Button)
        c["state_topic"] = topics.idle(std::string(e.key) + "/state");
    if (e.kind != Kind::Sensor && e.kind != Kind::Measure)
        c["command_topic"] = topics.idle(std::string(e.key) + "/set");
    if (e.kind == Kind::Measure) {
        c["unit_of_measurement"] = e.unit;
        c["state_class"] = "measurement";
    }
    if (e.attributes)
        c["json_attributes_topic"] = topics.idle(std::string(e.key) + "/attributes");
    if (e.category)
        c["entity_category"] = e.category;
    if (e.deviceClass)
        c["device_class"] = e.deviceClass;
    if (e.icon)
        c["icon"] = e.icon;
    if (e.kind == Kind::Number) {
        c["min"] = e.low;
        c["max"] = e.high;
        c["step"] = 1;
        c["mode"] = "box";
        c["unit_of_measurement"] = e.unit;
    }
    return c.dump();
}

void IdleEntities::offer(bool all)
{
    std::uint32_t dim = 0, night = 0, ambient = 0;
    const bool knowDim = link.value("DimLevel", &dim), knowNight = link.value("NightProfile", &night);
    const bool knowAmbient = link.value("AmbientProfile", &ambient);
    for (std::size_t i = 0; i < entityCount; ++i) {
        const Entity &e = entities[i];
        Kept &k = kept[i];
        const bool needsDim = e.need == Need::Dim || e.need == Need::NightDim;
        const bool needsNight = e.need == Need::Night || e.need == Need::NightDim;
        const bool needsAmbient = e.need == Need::Ambient;
        const bool refused = (needsDim && knowDim && dim == 0) || (needsNight && knowNight && !night)
                             || (needsAmbient && knowAmbient && !ambient);
        const bool known = refused
                           || ((!needsDim || knowDim) && (!needsNight || knowNight) && (!needsAmbient || knowAmbient));
        // Unknown while brightness-idle is away: left as announced.
        const bool offered = known ? !refused : !k.config.empty();
        const std::string topic = topics.idleDiscovery(component(e.kind), e.key);
        if (offered && hasDevice()) {
            const std::string c = config(i);
            if (all || c != k.config)
                publish(topic, c, true);
            if (k.config.empty())
                k.state.clear();
            k.config = c;
            // An announcement is not an answer to a command: it leaves the
            // limit on answers alone.
            publishState(i, all, false);
        } else if (!offered && known && (all || !k.config.empty())) {
            // Withdrawn: Home Assistant removes the entity.
            publish(topic, std::string(), true);
            if (e.kind != Kind::Button)
                publish(topics.idle(std::string(e.key) + "/state"), std::string(), true);
            if (e.attributes)
                publish(topics.idle(std::string(e.key) + "/attributes"), std::string(), true);
            k = Kept();
        }
    }
    if (all)
        publish(topics.idle("availability"), link.present() ? "online" : "offline", true);
}

void IdleEntities::publishState(std::size_t i, bool force, bool limited)
{
    const Entity &e = entities[i];
    std::uint32_t v = 0;
    std::string text;
    Kept &k = kept[i];
    if (e.kind == Kind::Button || k.config.empty()
        || !(e.kind == Kind::Measure ? link.text(e.property, &text) : link.value(e.property, &v)))
        return;
    publishAttributes(i, force);
    // Home Assistant takes "None" as a sensor's unknown state.
    const std::string payload = e.kind == Kind::Measure ? (text.empty() ? "None" : text)
                                : e.kind == Kind::Number ? std::to_string(v)
                                : v                      ? "ON"
                                                         : "OFF";
    const long long now = control::monotonicNs();
    if (payload == k.state && (!force || (limited && now < k.shownAgainAt + 1000000000LL)))
        return;
    if (payload == k.state && limited)
        k.shownAgainAt = now;
    publish(topics.idle(std::string(e.key) + "/state"), payload, true);
    k.state = payload;
}

void IdleEntities::publishAttributes(std::size_t i, bool force)
{
    const Entity &e = entities[i];
    Kept &k = kept[i];
    std::string text;
    if (!e.attributes || k.config.empty() || !link.text(e.attributes, &text))
        return;
    const std::string payload = json{{e.attributeKey, text}}.dump();
    if (payload == k.attributes && !force)
        return;
    publish(topics.idle(std::string(e.key) + "/attributes"), payload, true);
    k.attributes = payload;
}

void IdleEntities::presence()
{
    if (link.present()) {
        log.reset("idle read");
        log.info("brightness-idle is on the system bus: its entities are available");
    } else {
        log.info("brightness-idle left the system bus: its entities are unavailable");
    }
    offer(false);
    publish(topics.idle("availability"), link.present() ? "online" : "offline", true);
}

void IdleEntities::changed(const std::string &property)
{
    if (property == "DimLevel" || property == "NightProfile") {
        offer(false);
        return;
    }
    for (std::size_t i = 0; i < entityCount; ++i) {
        if (property == entities[i].property)
            publishState(i, false);
        if (entities[i].attributes && property == entities[i].attributes)
            publishAttributes(i, false);
    }
}

void IdleEntities::failed(const std::string &property, const std::string &error, const std::string &message)
{
    const long long now = control::monotonicNs();
    if (property.empty()) {
        const bool denied = error == "org.freedesktop.DBus.Error.AccessDenied";
        log.limited("idle read", control::Priority::Warning,
                    "cannot read brightness-idle's settings on the system bus: " + error + ": " + message
                        + (denied ? " (is this program in group plugdev?)" : ""), now);
        return;
    }
    if (error == "org.freedesktop.DBus.Error.InvalidArgs")
        log.limited("idle refused", control::Priority::Warning,
                    "brightness-idle refused the value for " + property + ": " + message, now);
    else
        log.limited("idle call", control::Priority::Warning,
                    "brightness-idle did not take " + property + ": " + error + ": " + message, now);
    // Home Assistant shows what is in force, not what it asked for.
    for (std::size_t i = 0; i < entityCount; ++i)
        if (property == entities[i].property)
            publishState(i, true);
}

void IdleEntities::command(const std::string &topic, const char *data, std::size_t size)
{
    std::size_t i = 0;
    while (i < entityCount && topic != topics.idle(std::string(entities[i].key) + "/set"))
        ++i;
    if (i == entityCount)
        return;
    const Entity &e = entities[i];
    // Nothing Home Assistant sends here is longer.
    const std::string payload = size <= 16 ? std::string(data, size) : std::string();
    log.debug("command on " + logTopic(topic) + ": " + payload);
    std::uint32_t v = 0;
    if ((e.kind == Kind::Button && payload == "PRESS")
        || (e.kind == Kind::Switch && (payload == "ON" || payload == "OFF"))
        || (e.kind == Kind::Number && parseWhole(payload, &v))) {
        if (!queued.count(i))
            order.push_back(i);
        queued[i] = e.kind == Kind::Switch ? payload == "ON" : v;
        if (later)
            sd_event_source_set_enabled(later, SD_EVENT_ONESHOT);
        else
            send();
    } else {
        const char *wanted = e.kind == Kind::Button ? "PRESS" : e.kind == Kind::Switch ? "ON or OFF" : "a whole number";
        log.limited("idle payload", control::Priority::Warning,
                    "ignored a command on " + logTopic(topic) + ": not " + wanted, control::monotonicNs());
        publishState(i, true);
    }
}

int IdleEntities::onQueued(sd_event_source *, void *self)
{
    static_cast<IdleEntities *>(self)->send();
    return 0;
}

void IdleEntities::send()
{
    // A call that fails at once leaves nothing awaited: the next one goes.
    while (!link.busy() && !order.empty()) {
        const std::size_t i = order.front();
        order.pop_front();
        const std::uint32_t v = queued[i];
        queued.erase(i);
        const Entity &e = entities[i];
        std::uint32_t now = 0;
        if (e.kind == Kind::Button)
            link.wake();
        else if (!link.value(e.property, &now) || now != v)
            link.set(e.property, v);
    }
    if (!link.busy() && luxQueued >= 0) {
        const double lux = luxQueued;
        luxQueued = -1;
        link.reportIlluminance(lux);
    }
}

void IdleEntities::illuminance(double lux)
{
    // As the commands: the newest waits while a call is in flight.
    luxQueued = lux;
    if (later)
        sd_event_source_set_enabled(later, SD_EVENT_ONESHOT);
    else
        send();
}

// The bridge's side: which device the entities join.

IdleDevice Bridge::idleDevice() const
{
    // One display: its device, which is named after the machine, so that
    // Home Assistant shows the idle entities beside its light. Several:
    // brightness-idle darkens them all, so the entities belong to none of
    // them but to a device for the machine.
    if (panels.size() == 1) {
        const Panel &p = panels.begin()->second.panel;
        return {topics.uniqueId(p), deviceName(p), panelModel(p)};
    }
    const Options &o = settings.options;
    return {settings.nodeId, o.name.empty() ? settings.hostName : o.name, "brightness-idle"};
}

} // namespace mqtt
