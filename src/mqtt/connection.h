#ifndef MQTT_CONNECTION_H
#define MQTT_CONNECTION_H

// One MQTT connection on an sd-event loop: the client made, the broker
// reached (MQTT 5, or 3.1.1 where the broker knows no better), kept alive,
// and, once lost, tried again less and less often. What is said on it is
// the owner's: it is told when the connection is up and what arrives.

#include <cstdint>
#include <functional>
#include <string>

#include "control/log.h"
#include "mqtt/options.h"
#include "mqtt/reach.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
struct sd_event;
struct sd_event_source;

namespace mqtt {

class Connection
{
public:
    struct Config {
        Options options;       // host, port, keepalive, TLS, username, client id
        std::string password;  // empty: none
        std::string clientId;  // as the log names it
        std::string idSuffix;  // added for the broker: a run beside the service needs an id of its own
        std::string name;      // how the log names this client ("as NAME")
        std::string will;      // the topic that reads "offline" once it is gone; empty: none
    };
    struct Handlers {
        // Connected: subscribe and publish from here.
        std::function<void()> up;
        std::function<void(const mosquitto_message &)> message;
        // A QoS 1 publish the broker has taken.
        std::function<void(int mid)> acknowledged;
        // The broker refused the client (why: its reason). True: the owner
        // gives up; else it is logged and tried again.
        std::function<bool(const std::string &why)> refused;
        // After each read and write, outside libmosquitto's callbacks,
        // which hold its locks.
        std::function<void()> pumped;
    };

    Connection(Config config, control::Log &log, Handlers handlers);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // The client made and the first attempt begun.
    bool open(sd_event *loop, std::string *why);
    bool isUp() const { return link == Link::Up; }
    // QoS 1. False, and logged, when not up or not taken.
    bool publish(const std::string &topic, const std::string &payload, bool retain, int *mid = nullptr);
    bool subscribe(const std::string &topic);
    // Gone on purpose: the will's "offline" said now, then disconnected,
    // waiting at most a second for it all to be sent. Nothing more follows.
    void close(bool sayOffline);

    // libmosquitto's callbacks.
    void connected(int rc);
    void received(const mosquitto_message &message);
    void libraryLog(int level, const char *text);
    void acknowledged(int mid);

private:
    enum class Link { Waiting, Connecting, Up, Closed };

    bool makeClient(std::string *why);
    static int onSocket(sd_event_source *source, int fd, unsigned revents, void *self);
    static int onPrepare(sd_event_source *source, void *self);
    static int onTimer(sd_event_source *source, std::uint64_t usec, void *self);
    void tick(long long now);
    void arm(long long now);
    void tryConnect(long long now);
    void reached(const std::string &why, const std::string &address);
    // A broker that does not speak MQTT 5: 3.1.1 for the next connection
    // only. Never from within libmosquitto's callbacks.
    bool olderProtocol(int rc);
    void lost(int rc, long long now, const std::string &why = std::string());
    void pump(unsigned revents, long long now);
    void watchSocket();

    Config config;
    control::Log &log;
    Handlers handlers;
    sd_event *loop = nullptr;
    sd_event_source *timer = nullptr;
    sd_event_source *socket = nullptr;
    int socketFd = -1;
    mosquitto *mosq = nullptr;
    Link link = Link::Waiting;
    Reach reach;
    // MQTT 5's Maximum Packet Size: the broker drops larger messages for
    // this client rather than make it buffer them.
    mqtt5__property *connectProperties = nullptr;
    bool version5 = true;
    bool olderTold = false;        // the fall back to 3.1.1 was logged
    bool answered = false;         // the broker's CONNACK came for this attempt
    bool versionRefused = false;   // ... and refused MQTT 5
    long long retryAt = 0;         // ms, monotonic
    long long backoffMs = 0;
    long long upSince = 0;
    int quickDrops = 0;  // connections lost within seconds, one after another
    std::string tlsReason;  // libmosquitto's last word on a TLS failure
    long long lastTraffic = 0;
};

long long monotonicMs();

} // namespace mqtt

#endif
