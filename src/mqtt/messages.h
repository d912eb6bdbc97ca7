#ifndef MQTT_MESSAGES_H
#define MQTT_MESSAGES_H

// Topics and payloads: Home Assistant's discovery config and the state, as
// texts, so that both can be checked without a broker.

#include <cstddef>
#include <string>

namespace mqtt {

// One display as the bridge offers it.
struct Panel {
    std::string place;  // bus place, as in the record
    std::string formerPlace;  // where an older record may have it
    unsigned short vendor = 0, product = 0;
    std::string object;  // the place as a topic level: see objectId
};

// What the record says of a display. The display cannot be read back: a
// known state is the last one written, by anyone, and says so.
struct PanelState {
    bool known = false;  // the record has the display
    bool on = false;
    int brightness = 0;  // what it shows while on
    int remembered = 0;  // what "ON" brings back
    bool levelRemembered = false;  // false: ON brings the first use's level
    bool dimmed = false; // on, below the remembered level
};

// The place with every character other than a letter, digit, '_' or '-'
// as '_'.
std::string objectId(const std::string &place);

class Topics
{
public:
    Topics(const std::string &prefix, const std::string &discoveryPrefix, const std::string &groupTopic,
           const std::string &nodeId);
    const std::string &node() const { return nodeId; }
    const std::string &group() const { return groupTopic; }
    std::string availability() const { return base + "/availability"; }
    std::string panel(const Panel &p, const char *leaf) const { return base + '/' + p.object + '/' + leaf; }
    std::string commands() const { return base + "/+/set"; }
    // brightness-idle's entities: their topics under P/N/idle, their
    // discovery configs.
    std::string idle(const std::string &leaf) const { return base + "/idle/" + leaf; }
    std::string idleDiscovery(const std::string &component, const std::string &key) const
    {
        return discoveryPrefix + '/' + component + '/' + nodeId + "/idle_" + key + "/config";
    }
    std::string discovery(const Panel &p) const;
    // This node's discovery configs, and the object of one of them or "".
    std::string discoveries() const;
    std::string discoveryObject(const std::string &topic) const;
    std::string uniqueId(const Panel &p) const { return nodeId + '_' + p.object; }
    // The object of a per-display command topic, or "".
    std::string commandObject(const std::string &topic) const;

private:
    // The one level between head and tail, or "".
    static std::string levelBetween(const std::string &topic, const std::string &head, const std::string &tail);

    std::string base, discoveryPrefix, groupTopic, nodeId;
};

// Whether a retained config could be this node's own, for the display whose
// object it names: a JSON object with the unique id and command topic the
// bridge gives that display. Anything else there is someone else's.
bool ownDiscovery(const Topics &topics, const std::string &object, const char *data, std::size_t size);

// A topic as the log shows it: at most 80 characters, cut with "...".
std::string logTopic(const std::string &topic);

// Who publishes the discovery, as Home Assistant's "origin" shows it.
struct Origin {
    std::string version;
    std::string supportUrl;  // empty: none given
};

// The device's model as Home Assistant shows it: the display's USB ids.
std::string panelModel(const Panel &panel);

// The light is the device's one feature: it takes the device's name.
std::string discoveryPayload(const Topics &topics, const Panel &panel, const std::string &deviceName,
                             const Origin &origin);
std::string statePayload(const PanelState &state);

} // namespace mqtt

#endif
