// The displays as the bridge offers them: found, announced, withdrawn, their
// state published from the record, commands handed on.

#include <algorithm>
#include <sstream>

#include "mqtt/bridge.h"
#include "mqtt/control.h"
#include "control/displays.h"
#include "control/clock.h"
#include "control/status.h"
#include "control/store.h"
#include "hid/sysfs.h"

namespace mqtt {

void Bridge::publish(const std::string &topic, const std::string &payload, bool retain)
{
    connection.publish(topic, payload, retain);
}

void Bridge::rescan()
{
    std::ostringstream messages;
    control::Environment quiet = settings.env;
    quiet.err = &messages;
    quiet.priorityPrefix = true;
    control::Scan scan = control::findDisplays(quiet, control::Selection());
    const std::vector<control::Display> found = scan.usable;
    control::closeDisplays(&scan);
    // The same trouble on every plug is told once.
    log.relayLimited("scan", control::Priority::Warning, messages.str(), control::monotonicNs());

    std::map<std::string, Known> now;
    for (const control::Display &d : found) {
        if (d.place.empty()) {
            log.limited("no place", control::Priority::Warning,
                        hidrawPath(d.node) + ": not offered: sysfs shows no bus place for it", control::monotonicNs());
            continue;
        }
        Known k;
        k.panel = {d.place, d.formerPlace, d.id.vendor, d.id.product, objectId(d.place)};
        now.emplace(d.place + ' ' + control::formatIdentity(d.id), k);
    }
    for (const auto &old : panels)
        if (!now.count(old.first)) {
            log.info("display gone: " + old.second.panel.place);
            // Unavailable, not removed: Home Assistant keeps the name and
            // area given to it for when it comes back.
            publish(topics.panel(old.second.panel, "availability"), "offline", true);
        }
    // One display or several: the devices' names change with the count.
    const bool renamed = (now.size() > 1) != (panels.size() > 1);
    panels.swap(now);
    for (auto &entry : panels) {
        const auto old = now.find(entry.first);
        if (old != now.end() && !renamed) {
            entry.second = old->second;
            continue;
        }
        if (old == now.end())
            log.info("display found: " + entry.second.panel.place + " (" + topics.uniqueId(entry.second.panel) + ")");
        announce(entry.second);
    }
    // Unplugged: they stay where they were.
    if (idle && (!panels.empty() || !idle->hasDevice()))
        idle->setDevice(idleDevice());
    publishStates(false);
}

std::string Bridge::deviceName(const Panel &panel) const
{
    const Options &o = settings.options;
    for (const std::string &key : {panel.place, panel.object}) {
        const auto named = o.names.find(key);
        if (named != o.names.end())
            return named->second;
    }
    const std::string machine = o.name.empty() ? settings.hostName : o.name;
    return panels.size() > 1 ? machine + ' ' + panel.place : machine;
}

void Bridge::announce(Known &known)
{
    const Panel &p = known.panel;
    publish(topics.discovery(p), discoveryPayload(topics, p, deviceName(p), settings.origin), true);
    publish(topics.panel(p, "availability"), "online", true);
    markedAbsent.erase(p.object);
    // Sent again once the record is read.
    known.published.clear();
}

void Bridge::absent(const std::string &object)
{
    for (const auto &entry : panels)
        if (entry.second.panel.object == object)
            return;
    // Bounded: the broker, not this program, decides how many come.
    if (markedAbsent.count(object) || markedAbsent.size() >= 256)
        return;
    markedAbsent.insert(object);
    // Kept in Home Assistant, shown unavailable until it is back or
    // forgotten (--forget).
    log.info("not here: " + object + ", a display of an earlier run; shown as unavailable");
    Panel gone;
    gone.object = object;
    publish(topics.panel(gone, "availability"), "offline", true);
}

void Bridge::publishStates(bool all)
{
    control::Record record;
    std::string why;
    if (!control::Store(settings.env.stateDir).read(&record, &why)) {
        log.limited("record", control::Priority::Warning, "cannot read the record, states stay as they were: " + why,
                    control::monotonicNs());
        return;
    }
    log.reset("record");
    for (auto &entry : panels) {
        Known &k = entry.second;
        // Mid-fade, the state published is the fade's target, so that Home
        // Assistant records two states per fade, not one per step.
        if (commands.fading(k.panel.place) && !all)
            continue;
        const control::Display d{-1, -1, {k.panel.vendor, k.panel.product}, k.panel.place, k.panel.formerPlace};
        publishState(k, panelStateOf(control::entryOf(record, d)), all);
    }
}

void Bridge::publishState(Known &known, const PanelState &state, bool all)
{
    const std::string payload = statePayload(state);
    if (!connection.isUp() || (!all && payload == known.published))
        return;
    publish(topics.panel(known.panel, "state"), payload, true);
    known.published = payload;
}

void Bridge::command(const std::string &place, const char *data, std::size_t size, const std::string &topic)
{
    Command c;
    const Fault fault = parseCommand(data, size, &c);
    if (fault != Fault::None) {
        log.limited(std::string("payload ") + faultText(fault), control::Priority::Warning,
                    "ignored a command on " + logTopic(topic) + ": " + faultText(fault), control::monotonicNs());
        return;
    }
    log.debug("command on " + logTopic(topic) + ": " + std::string(data, size));
    commands.take(place, c);
}

} // namespace mqtt
