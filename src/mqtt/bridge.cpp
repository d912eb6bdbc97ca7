#include "mqtt/bridge.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <mosquitto.h>
#include <systemd/sd-event.h>

#include "control/clock.h"
#include "control/status.h"
#include "mqtt/control.h"
#include "mqtt/payload.h"

namespace mqtt {

namespace {

// The record changes at every step of a fade: it is read at most this
// often, the first change at once.
const long long stateIntervalMs = 50;

Connection::Config connectionConfig(const Settings &settings, const Topics &topics)
{
    const Options &o = settings.options;
    Connection::Config c;
    c.options = o;
    c.password = settings.password;
    c.clientId = o.clientId.empty() ? settings.nodeId : o.clientId;
    // --forget runs beside the service: an id of its own, or each would
    // throw the other off the broker. It offers nothing, so it has no will.
    c.idSuffix = o.forget.empty() ? "" : "-forget";
    c.name = topics.node();
    c.will = o.forget.empty() ? topics.availability() : std::string();
    return c;
}

} // namespace

Bridge::Bridge(const Settings &settings, control::Log &log)
    : settings(settings),
      topics(settings.options.prefix, settings.options.discoveryPrefix, settings.options.groupTopic, settings.nodeId),
      log(log),
      connection(connectionConfig(settings, topics), log,
                 {[this] { connected(); }, [this](const mosquitto_message &m) { received(m); },
                  [this](int mid) { forgetAcknowledged(mid); },
                  [this](const std::string &why) { return refused(why); },
                  [this] {
                      if (forgetDue)
                          forgetStep();
                  }}),
      commands(settings.env, log,
               {[this](const std::string &place, const control::ScreenState &after) {
                    for (auto &entry : panels)
                        if (entry.second.panel.place == place)
                            publishState(entry.second, panelStateOf(after), false);
                },
                [this] { publishStates(false); }})
{
}

Bridge::~Bridge()
{
    // Its bus connection is on the loop.
    idle.reset();
    sd_event_source_disable_unref(timer);
}

bool Bridge::setUp(std::string *why)
{
    const Options &o = settings.options;
    if (!daemon.open([this] { stop(); }, why))
        return false;
    loop = daemon.loop();
    int r = sd_event_add_time(loop, &timer, CLOCK_MONOTONIC, UINT64_MAX, 1000, onTimer, this);
    if (r < 0) {
        *why = std::string("event loop: ") + std::strerror(-r);
        return false;
    }
    if (!commands.open(loop, why))
        return false;
    const auto recordChanged = [this] {
        const long long now = monotonicMs();
        const long long due = std::max(now, statesSentAt + stateIntervalMs);
        statesDueAt = statesDueAt ? std::min(statesDueAt, due) : due;
        arm(now);
    };
    if (!record.open(loop, settings.env.stateDir, recordChanged, why))
        return false;
    std::string noUdev;
    if (!devices.open(loop, "hidraw", "", [this](bool, const std::string &) { rescan(); }, &noUdev))
        log.warning(noUdev + "; displays plugged in later are seen at the next start");
    if (o.forget.empty() && !o.noIdle) {
        idle = std::make_unique<IdleEntities>(topics, settings.origin, log,
                                              [this](const std::string &t, const std::string &p, bool r) { publish(t, p, r); });
        idle->open(loop);
    }
    return true;
}

int Bridge::run()
{
    std::string why;
    if (!setUp(&why)) {
        log.error(why);
        return control::Failure;
    }
    if (settings.options.forget.empty())
        rescan();
    if (!connection.open(loop, &why)) {
        log.error(why);
        return control::Failure;
    }
    tick(monotonicMs());
    // Ready once the displays are offered and the broker is being reached.
    daemon.ready();
    const int r = sd_event_loop(loop);
    daemon.stopping();
    if (r < 0) {
        log.error(std::string("event loop: ") + std::strerror(-r));
        return control::Failure;
    }
    if (r > 0)
        return r;
    if (!settings.options.forget.empty()) {
        if (forgetStage != ForgetStage::Done)
            log.error("stopped before the broker had taken it all: not forgotten");
        return forgetStatus;
    }
    log.info("stopped");
    return control::Ok;
}

void Bridge::stop()
{
    // A fade under way ends here; the record keeps its last step for good.
    commands.stop();
    // Gone on purpose: say so now rather than through the will later.
    connection.close(true);
    sd_event_exit(loop, 0);
}

int Bridge::onTimer(sd_event_source *, std::uint64_t, void *self)
{
    static_cast<Bridge *>(self)->tick(monotonicMs());
    return 0;
}

void Bridge::tick(long long now)
{
    if (statesDueAt && now >= statesDueAt) {
        statesSentAt = now;
        statesDueAt = paceStates(now);
    }
    arm(monotonicMs());
}

void Bridge::arm(long long now)
{
    if (!statesDueAt) {
        sd_event_source_set_enabled(timer, SD_EVENT_OFF);
        return;
    }
    sd_event_source_set_time(timer, static_cast<std::uint64_t>(std::max(statesDueAt, now)) * 1000);
    sd_event_source_set_enabled(timer, SD_EVENT_ONESHOT);
}

void Bridge::connected()
{
    if (!settings.options.forget.empty()) {
        forgetConnected();
        return;
    }
    connection.subscribe(topics.commands());
    connection.subscribe(topics.group());
    // What the broker retained from an earlier run, for displays gone since.
    connection.subscribe(topics.discoveries());
    publish(topics.availability(), "online", true);
    for (auto &entry : panels)
        announce(entry.second);
    publishStates(true);
    // After the lights, so that their device is known when these join it.
    if (idle) {
        connection.subscribe(idle->commands());
        if (!settings.options.illuminanceTopic.empty())
            connection.subscribe(settings.options.illuminanceTopic);
        idle->announce();
    }
}

bool Bridge::refused(const std::string &why)
{
    // Run by hand, --forget gives up: its person is there to fix it.
    if (settings.options.forget.empty())
        return false;
    forgetEnd(control::Failure, why);
    return true;
}

void Bridge::received(const mosquitto_message &message)
{
    const std::string topic = message.topic ? message.topic : "";
    const char *data = static_cast<const char *>(message.payload);
    const std::size_t size = message.payloadlen > 0 ? static_cast<std::size_t>(message.payloadlen) : 0;
    if (!settings.options.forget.empty()) {
        forgetReceived(topic, message.retain, size);
        return;
    }
    if (idle && topic == settings.options.illuminanceTopic) {
        // The sensor's state, retained or not: the light as it is now.
        double lux = 0;
        if (parseLux(data, size, &lux))
            idle->illuminance(lux);
        else
            log.debug("no lux in " + logTopic(topic) + ": " + std::string(data, std::min<std::size_t>(size, 64)));
        return;
    }
    const std::string stale = topics.discoveryObject(topic);
    if (!stale.empty()) {
        // Only what the broker kept from an earlier run; anyone's live
        // message there (and this program's own) changes nothing.
        if (!message.retain || size == 0)
            return;
        if (ownDiscovery(topics, stale, data, size))
            absent(stale);
        else
            log.limited("foreign config", control::Priority::Warning, "ignored retained configs under "
                            + logTopic(topics.discoveries()) + " that brightness-mqtt did not make",
                        control::monotonicNs());
        return;
    }
    const bool forIdle = idle && idle->isCommand(topic);
    const std::string object = topics.commandObject(topic);
    if (topic != topics.group() && object.empty() && !forIdle)
        return;
    if (message.retain) {
        // Replayed at every connect, it would undo newer settings.
        log.limited("retained", control::Priority::Warning, "ignored a retained command on " + logTopic(topic)
                        + ": clear it with mosquitto_pub -r -n -t '" + logTopic(topic) + "'", control::monotonicNs());
        return;
    }
    if (size == 0) {
        // What a subscriber sees of a retained command being cleared, as
        // the advice above says: nothing to do, nothing to warn of.
        log.debug("cleared: " + logTopic(topic));
        return;
    }
    if (forIdle) {
        idle->command(topic, data, size);
        return;
    }
    if (topic == topics.group()) {
        command(std::string(), data, size, topic);
        return;
    }
    for (const auto &entry : panels)
        if (entry.second.panel.object == object) {
            command(entry.second.panel.place, data, size, topic);
            return;
        }
    log.limited("no display", control::Priority::Warning,
                "ignored a command on " + logTopic(topic) + ": no such display here", control::monotonicNs());
}

} // namespace mqtt
