#include "mqtt/messages.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace mqtt {

using nlohmann::json;

std::string objectId(const std::string &place)
{
    std::string id = place;
    for (char &c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            c = '_';
    return id;
}

Topics::Topics(const std::string &prefix, const std::string &discoveryPrefix, const std::string &groupTopic,
               const std::string &nodeId)
    : base(prefix + '/' + nodeId), discoveryPrefix(discoveryPrefix), groupTopic(groupTopic), nodeId(nodeId)
{
}

std::string Topics::discovery(const Panel &p) const
{
    return discoveryPrefix + "/light/" + nodeId + '/' + p.object + "/config";
}

std::string Topics::discoveries() const
{
    return discoveryPrefix + "/light/" + nodeId + "/+/config";
}

std::string Topics::levelBetween(const std::string &topic, const std::string &head, const std::string &tail)
{
    if (topic.size() <= head.size() + tail.size() || topic.compare(0, head.size(), head) != 0
        || topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0)
        return std::string();
    const std::string level = topic.substr(head.size(), topic.size() - head.size() - tail.size());
    return level.find('/') == std::string::npos ? level : std::string();
}

std::string Topics::commandObject(const std::string &topic) const
{
    return levelBetween(topic, base + '/', "/set");
}

std::string Topics::discoveryObject(const std::string &topic) const
{
    return levelBetween(topic, discoveryPrefix + "/light/" + nodeId + '/', "/config");
}

bool ownDiscovery(const Topics &topics, const std::string &object, const char *data, std::size_t size)
{
    // A place is a short path; objectId leaves only these characters.
    if (object.empty() || object.size() > 255 || objectId(object) != object)
        return false;
    const json config = json::parse(data, data + size, nullptr, false);
    Panel p;
    p.object = object;
    return config.is_object() && config.value("unique_id", json()) == topics.uniqueId(p)
        && config.value("command_topic", json()) == topics.panel(p, "set");
}

std::string logTopic(const std::string &topic)
{
    const std::size_t most = 80;
    return topic.size() <= most ? topic : topic.substr(0, most - 3) + "...";
}

std::string panelModel(const Panel &panel)
{
    char model[48];
    std::snprintf(model, sizeof model, "USB display %04x:%04x", panel.vendor, panel.product);
    return model;
}

std::string discoveryPayload(const Topics &topics, const Panel &panel, const std::string &deviceName,
                             const Origin &origin)
{
    const std::string model = panelModel(panel);
    const std::string id = topics.uniqueId(panel);
    const json config = {
        {"schema", "json"},
        // null: the entity is named after its device alone.
        {"name", nullptr},
        {"unique_id", id},
        {"command_topic", topics.panel(panel, "set")},
        {"state_topic", topics.panel(panel, "state")},
        // The state's extra fields (remembered level, where it came from)
        // show as the light's attributes.
        {"json_attributes_topic", topics.panel(panel, "state")},
        {"availability", json::array({{{"topic", topics.availability()}},
                                      {{"topic", topics.panel(panel, "availability")}}})},
        {"availability_mode", "all"},
        {"supported_color_modes", json::array({"brightness"})},
        {"brightness_scale", 100},
        // Flashing is not offered: Home Assistant then sends no "flash".
        {"flash", false},
        {"device", {{"identifiers", json::array({id})},
                    {"name", deviceName},
                    {"model", model}}},
    };
    json source = {{"name", "brightness-mqtt"}, {"sw_version", origin.version}};
    if (!origin.supportUrl.empty())
        source["support_url"] = origin.supportUrl;
    json withOrigin = config;
    withOrigin["origin"] = source;
    return withOrigin.dump();
}

std::string statePayload(const PanelState &state)
{
    if (!state.known)
        return json{{"state", nullptr}, {"brightness", nullptr}, {"remembered", false}}.dump();
    json s = {{"state", state.on ? "ON" : "OFF"},
              // Not read from the display: the level last written to it;
              // with nothing remembered, ON brings the first use's level.
              {"remembered", state.levelRemembered},
              {"remembered_brightness", state.remembered},
              {"dimmed", state.dimmed}};
    if (state.on) {
        s["brightness"] = state.brightness;
        s["color_mode"] = "brightness";
    }
    return s.dump();
}

} // namespace mqtt
