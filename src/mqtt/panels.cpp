// The displays as the bridge offers them: found, announced, withdrawn, their
// state published from the record, commands handed on.

#include <sstream>

#include <mosquitto.h>
#include <systemd/sd-event.h>

#include "bridge.h"
#include "control.h"
#include "displays.h"
#include "session.h"
#include "clock.h"
#include "status.h"
#include "store.h"
#include "sysfs.h"

namespace mqtt {

void Bridge::publish(const std::string &topic, const std::string &payload, bool retain)
{
    if (link != Link::Up)
        return;
    const int rc = mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS)
        log.limited("publish", control::Priority::Warning, "cannot publish on " + topic + ": " + mosquitto_strerror(rc),
                    control::monotonicNs());
}

void Bridge::rescan()
{
    std::ostringstream messages;
    control::Environment quiet = settings.env;
    quiet.err = &messages;
    control::Scan scan = control::findDisplays(quiet, control::Selection());
    const std::vector<control::Display> found = scan.usable;
    control::closeDisplays(&scan);
    // The same trouble on every plug is told once.
    if (!messages.str().empty())
        log.limited("scan", control::Priority::Warning, messages.str().substr(0, messages.str().size() - 1),
                    control::monotonicNs());

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
            withdraw(old.second);
        }
    for (auto &entry : now) {
        const auto old = panels.find(entry.first);
        if (old != panels.end()) {
            entry.second = old->second;
            continue;
        }
        log.info("display found: " + entry.second.panel.place + " (" + topics.uniqueId(entry.second.panel) + ")");
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
        const control::Display d{-1, -1, {k.panel.vendor, k.panel.product}, k.panel.place, k.panel.formerPlace};
        const std::string payload = statePayload(panelStateOf(control::entryOf(record, d)));
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
        log.limited(std::string("payload ") + faultText(fault), control::Priority::Warning,
                    "ignored a command on " + topic + ": " + faultText(fault), control::monotonicNs());
        return;
    }
    log.debug("command on " + topic + ": " + std::string(data, size));
    for (auto it = pending.begin(); it != pending.end();)
        it = place.empty() || it->first == place ? pending.erase(it) : it + 1;
    pending.emplace_back(place, c);
    sd_event_source_set_enabled(later, SD_EVENT_ONESHOT);
}

int Bridge::onPending(sd_event_source *, void *self)
{
    Bridge *b = static_cast<Bridge *>(self);
    std::vector<std::pair<std::string, Command>> now;
    now.swap(b->pending);
    for (const auto &p : now)
        b->start(p.first, p.second);
    return 0;
}

void Bridge::start(const std::string &place, const Command &command)
{
    // The newer command has the last word on the displays it covers.
    for (auto it = fades.begin(); it != fades.end();) {
        auto next = std::next(it);
        if (place.empty() || it->first == place) {
            it->second.fade->cancel();
            endFade(it);
        }
        it = next;
    }
    std::ostringstream messages;
    control::Environment quiet = settings.env;
    quiet.err = &messages;
    quiet.out = &messages;
    control::Selection selection;
    selection.place = place;
    control::Scan scan = control::findDisplays(quiet, selection);
    if (scan.usable.empty() && scan.refused.empty() && scan.status == control::Ok)
        // Unplugged between the command and now: nothing to do.
        control::say(quiet) << "no display found" << (place.empty() ? std::string() : " at " + place) << '\n';
    log.relay(control::Priority::Warning, messages.str());
    // One fade per display, so that a command for one of them later ends
    // only that display's.
    for (const control::Display &d : scan.usable) {
        Running r;
        r.scan.usable.push_back(d);
        r.messages = std::make_unique<std::ostringstream>();
        control::Environment env = settings.env;
        env.err = env.out = r.messages.get();
        r.fade = std::make_unique<control::Fade>(env, planFor(command));
        r.fade->start(jobsFor(command, d), control::monotonicNs());
        const std::string key = d.place.empty() ? hidrawPath(d.node) : d.place;
        endFade(fades.emplace(key, std::move(r)).first);
    }
    arm(monotonicMs());
}

void Bridge::stepFades(long long now)
{
    for (auto it = fades.begin(); it != fades.end();) {
        auto next = std::next(it);
        it->second.fade->step(now);
        endFade(it);
        it = next;
    }
}

void Bridge::endFade(std::map<std::string, Running>::iterator it)
{
    if (!it->second.fade->done())
        return;
    log.relay(control::Priority::Warning, it->second.messages->str());
    control::closeDisplays(&it->second.scan);
    fades.erase(it);
}

} // namespace mqtt
