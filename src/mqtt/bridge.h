#ifndef MQTT_BRIDGE_H
#define MQTT_BRIDGE_H

// The long-running part: one MQTT connection, the displays found, the
// record's state published, commands handed to the runner.

#include <map>
#include <memory>
#include <string>

#include "environment.h"
#include "log.h"
#include "messages.h"
#include "options.h"
#include "runner.h"
#include "watch.h"

struct mosquitto;
struct mosquitto_message;

namespace mqtt {

struct Settings {
    Options options;
    std::string password;  // empty: none
    std::string nodeId;
    std::string hostName;  // names the displays in Home Assistant
    ctl::Environment env;  // sysfs, state directory, messages
};

class Bridge
{
public:
    explicit Bridge(const Settings &settings);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // Until SIGINT or SIGTERM (blocked by the caller before any thread
    // starts, and taken through signalfd). A Status.
    int run();

    // libmosquitto's callbacks.
    void connected(int rc);
    void received(const mosquitto_message &message);

private:
    enum class Link { Waiting, Connecting, Up };
    struct Known {
        Panel panel;
        std::string published;  // the last state payload sent
    };

    bool setUp(std::string *why);
    void loop(int signalFd);
    int pollTimeout(long long now) const;
    void tryConnect(long long now);
    void lost(int rc, long long now);
    void pump(short revents, bool idle, long long now);

    // panels.cpp
    void rescan();
    void announce(Known &known);
    void withdraw(const Known &known);
    void publishStates(bool all);
    void publish(const std::string &topic, const std::string &payload, bool retain);
    void command(const std::string &place, const char *data, std::size_t size, const std::string &topic);

    Settings settings;
    Topics topics;
    Log log;
    Runner runner;
    Watches watches;
    mosquitto *mosq = nullptr;
    Link link = Link::Waiting;
    bool started = false;  // connect_async was called
    long long retryAt = 0;         // ms, monotonic
    long long backoffMs = 0;
    long long upSince = 0;
    long long lastTraffic = 0;
    long long statesSentAt = 0;    // ms: when the record was last published
    long long statesDueAt = 0;     // ms: when it is to be published; 0: not
    std::map<std::string, Known> panels;  // by place and identity
};

long long monotonicMs();

} // namespace mqtt

#endif
