// The displays as the bridge offers them: found, announced, withdrawn, their
// state published from the record, commands handed on.

#include <sstream>

#include <mosquitto.h>

#include "bridge.h"
#include "control.h"
#include "displays.h"
#include "session.h"
#include "status.h"
#include "store.h"

namespace mqtt {

void Log::relay(const std::string &messages)
{
    std::istringstream lines(messages);
    // The library's messages carry this program's name already.
    const std::string library = "brightness-mqtt: ";
    for (std::string line; std::getline(lines, line);)
        say(line.compare(0, library.size(), library) == 0 ? line.substr(library.size()) : line);
}

void Bridge::publish(const std::string &topic, const std::string &payload, bool retain)
{
    if (link != Link::Up)
        return;
    const int rc = mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS)
        log.once("publish " + std::to_string(rc), "cannot publish on " + topic + ": " + mosquitto_strerror(rc));
}

void Bridge::rescan()
{
    std::ostringstream messages;
    ctl::Environment quiet = settings.env;
    quiet.err = &messages;
    ctl::Scan scan = ctl::findDisplays(quiet, ctl::Selection());
    const std::vector<ctl::Display> found = scan.usable;
    ctl::closeDisplays(&scan);
    // The same trouble on every plug is told once.
    if (!messages.str().empty())
        log.once("scan " + messages.str(), messages.str().substr(0, messages.str().size() - 1));

    std::map<std::string, Known> now;
    for (const ctl::Display &d : found) {
        if (d.place.empty()) {
            log.once("no place " + std::to_string(d.node),
                     hidrawPath(d.node) + ": not offered: sysfs shows no bus place for it");
            continue;
        }
        Known k;
        k.panel = {d.place, d.formerPlace, d.id.vendor, d.id.product, objectId(d.place)};
        now.emplace(d.place + ' ' + ctl::formatIdentity(d.id), k);
    }
    for (const auto &old : panels)
        if (!now.count(old.first)) {
            log.say("display gone: " + old.second.panel.place);
            withdraw(old.second);
        }
    for (auto &entry : now) {
        const auto old = panels.find(entry.first);
        if (old != panels.end()) {
            entry.second = old->second;
            continue;
        }
        log.say("display found: " + entry.second.panel.place + " (" + topics.uniqueId(entry.second.panel) + ")");
        announce(entry.second);
    }
    panels.swap(now);
    publishStates(false);
}

void Bridge::announce(Known &known)
{
    const Panel &p = known.panel;
    publish(topics.discovery(p), discoveryPayload(topics, p, settings.hostName), true);
    publish(topics.panel(p, "availability"), "online", true);
    // Sent again once the record is read.
    known.published.clear();
}

void Bridge::withdraw(const Known &known)
{
    const Panel &p = known.panel;
    publish(topics.panel(p, "availability"), "offline", true);
    // An empty retained config removes the light from Home Assistant; its
    // unique id brings the same entity back when the display returns.
    publish(topics.discovery(p), std::string(), true);
}

void Bridge::publishStates(bool all)
{
    ctl::Record record;
    std::string why;
    if (!ctl::Store(settings.env.stateDir).read(&record, &why)) {
        log.once("record " + why, "cannot read the record, states stay as they were: " + why);
        return;
    }
    log.forget("record ");
    for (auto &entry : panels) {
        Known &k = entry.second;
        const ctl::Display d{-1, -1, {k.panel.vendor, k.panel.product}, k.panel.place, k.panel.formerPlace};
        const std::string payload = statePayload(stateOf(ctl::entryOf(record, d)));
        if (link != Link::Up || (!all && payload == k.published))
            continue;
        publish(topics.panel(k.panel, "state"), payload, true);
        k.published = payload;
    }
}

void Bridge::command(const std::string &place, const char *data, std::size_t size, const std::string &topic)
{
    Command c;
    const Fault fault = parseCommand(data, size, &c);
    if (fault != Fault::None) {
        log.once(std::string("payload ") + faultText(fault),
                 "ignored a command on " + topic + ": " + faultText(fault)
                     + " (further ones of this kind are not logged)");
        return;
    }
    runner.submit(place, c);
}

} // namespace mqtt
