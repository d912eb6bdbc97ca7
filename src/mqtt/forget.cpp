// --forget: what the broker retained for the places named, emptied, then
// the program ends. A place of which the broker keeps nothing is named and
// nothing is forgotten, so that a mistyped place is not taken for done.

#include <systemd/sd-event.h>

#include "mqtt/bridge.h"
#include "control/status.h"

namespace mqtt {

std::vector<std::string> Bridge::forgetTopics(const std::string &place) const
{
    // No display's place is a bare word: "idle" names brightness-idle's entities.
    if (place == "idle")
        return IdleEntities::retainedTopics(topics);
    Panel p;
    p.object = objectId(place);
    return {topics.discovery(p), topics.panel(p, "state"), topics.panel(p, "availability")};
}

std::string Bridge::forgetMarker() const
{
    return settings.options.prefix + '/' + settings.nodeId + "/forget";
}

void Bridge::forgetConnected()
{
    // The retained messages come as each subscription is taken; the
    // marker, published after them all, comes after them.
    forgetStage = ForgetStage::Checking;
    retainedSeen.clear();
    unacked.clear();
    bool ok = true;
    for (const std::string &place : settings.options.forget)
        for (const std::string &topic : forgetTopics(place))
            ok = ok && connection.subscribe(topic);
    const std::string marker = forgetMarker();
    ok = ok && connection.subscribe(marker) && connection.publish(marker, std::string(), false);
    if (!ok)
        forgetEnd(control::Failure, "cannot ask the broker what it keeps for the places named");
}

void Bridge::forgetReceived(const std::string &topic, bool retained, std::size_t size)
{
    if (topic == forgetMarker() && forgetStage == ForgetStage::Checking)
        forgetDue = true;
    else if (retained && size > 0)
        retainedSeen.insert(topic);
}

void Bridge::forgetStep()
{
    forgetDue = false;
    if (forgetStage == ForgetStage::Checking) {
        std::string unknown;
        for (const std::string &place : settings.options.forget) {
            bool kept = false;
            for (const std::string &topic : forgetTopics(place))
                kept = kept || retainedSeen.count(topic);
            if (!kept)
                unknown += (unknown.empty() ? "" : ", ") + place;
        }
        if (!unknown.empty()) {
            forgetEnd(control::Failure, "the broker keeps nothing for " + unknown + " under node " + settings.nodeId
                          + ": nothing forgotten; give a place as its topics show it, and the --node-id and "
                            "--prefix of the bridge that offered it");
            return;
        }
        forgetStage = ForgetStage::Forgetting;
        forget();
        return;
    }
    if (forgetStage == ForgetStage::Forgetting && unacked.empty()) {
        log.info("forgotten");
        forgetEnd(control::Ok, std::string());
    }
}

void Bridge::forgetEnd(int status, const std::string &why)
{
    if (!why.empty())
        log.error(why);
    forgetStatus = status;
    forgetStage = ForgetStage::Done;
    // Done, outside libmosquitto's callbacks: a clean goodbye. A failure
    // may come from within one (a refusal), where the client is left be.
    if (status == control::Ok)
        connection.close(false);
    sd_event_exit(loop, 0);
}

void Bridge::forget()
{
    // Empty retained messages: the broker drops what it kept, and Home
    // Assistant removes the light. Done once the broker has them all.
    for (const std::string &place : settings.options.forget) {
        for (const std::string &topic : forgetTopics(place)) {
            int mid = 0;
            if (!connection.publish(topic, std::string(), true, &mid)) {
                forgetEnd(control::Failure, "cannot publish on " + logTopic(topic));
                return;
            }
            unacked.insert(mid);
        }
        Panel p;
        p.object = objectId(place);
        log.info("forgetting " + place + " (" + (place == "idle" ? "brightness-idle's entities" : topics.discovery(p)) + ")");
    }
}

void Bridge::forgetAcknowledged(int mid)
{
    if (unacked.erase(mid) && unacked.empty())
        forgetDue = true;
}

} // namespace mqtt
