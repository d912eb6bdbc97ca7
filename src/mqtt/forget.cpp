// --forget: what the broker retained for the places named, emptied, then
// the program ends. A place of which the broker keeps nothing is named and
// nothing is forgotten, so that a mistyped place is not taken for done.

#include <mosquitto.h>
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
            ok = ok && mosquitto_subscribe(mosq, nullptr, topic.c_str(), 1) == MOSQ_ERR_SUCCESS;
    const std::string marker = forgetMarker();
    ok = ok && mosquitto_subscribe(mosq, nullptr, marker.c_str(), 1) == MOSQ_ERR_SUCCESS
        && mosquitto_publish(mosq, nullptr, marker.c_str(), 0, nullptr, 1, false) == MOSQ_ERR_SUCCESS;
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
        mosquitto_disconnect(mosq);
        mosquitto_loop_write(mosq, 1);
        forgetEnd(control::Ok, std::string());
    }
}

void Bridge::forgetEnd(int status, const std::string &why)
{
    if (!why.empty())
        log.error(why);
    forgetStatus = status;
    forgetStage = ForgetStage::Done;
    link = Link::Waiting;
    sd_event_exit(loop, 0);
}

void Bridge::forget()
{
    // Empty retained messages: the broker drops what it kept, and Home
    // Assistant removes the light. Done once the broker has them all.
    for (const std::string &place : settings.options.forget) {
        for (const std::string &topic : forgetTopics(place)) {
            int mid = 0;
            if (mosquitto_publish(mosq, &mid, topic.c_str(), 0, nullptr, 1, true) != MOSQ_ERR_SUCCESS) {
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

void Bridge::acknowledged(int mid)
{
    if (unacked.erase(mid) && unacked.empty())
        forgetDue = true;
}

} // namespace mqtt
