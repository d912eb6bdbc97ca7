#ifndef MQTT_BRIDGE_H
#define MQTT_BRIDGE_H

// The long-running part, one sd-event loop: the MQTT connection
// (connection.h), the displays found and their state published from the
// record, the commands run (commands.h), brightness-idle's entities
// (idleentities.h).

#include <map>
#include <set>
#include <memory>
#include <cstdint>
#include <string>
#include <vector>

#include "control/displays.h"
#include "control/environment.h"
#include "mqtt/commands.h"
#include "mqtt/connection.h"
#include "mqtt/idleentities.h"
#include "control/log.h"
#include "mqtt/messages.h"
#include "mqtt/options.h"
#include "mqtt/payload.h"
#include "control/status.h"
#include "control/daemon.h"
#include "control/watch.h"

struct mosquitto_message;
struct sd_event;
struct signalfd_siginfo;
struct sd_event_source;

namespace mqtt {

struct Settings {
    Options options;
    std::string password;  // empty: none
    std::string nodeId;
    std::string hostName;  // names the displays in Home Assistant
    Origin origin;
    control::Environment env;  // sysfs, state directory, messages
};

class Bridge
{
public:
    Bridge(const Settings &settings, control::Log &log);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // Until SIGINT or SIGTERM (blocked by the caller, taken by the loop).
    // A Status.
    int run();

private:
    struct Known {
        Panel panel;
        std::string published;  // the last state payload sent
        // The record's serial of the request whose state was published
        // last: a change under the same serial is a step of its fade.
        unsigned long serial = 0;
        std::string seen;  // the state last read from the record, and when
        long long seenAt = 0;
    };

    bool setUp(std::string *why);
    static int onTimer(sd_event_source *source, std::uint64_t usec, void *self);
    void tick(long long now);
    void arm(long long now);
    void stop();
    // The connection's: up, and what arrives.
    void connected();
    void received(const mosquitto_message &message);
    bool refused(const std::string &why);

    // panels.cpp
    void rescan();
    void announce(Known &known);
    void absent(const std::string &object);
    std::string deviceName(const Panel &panel) const;
    void publishStates(bool all);
    // record.cpp: the record's changes as states, paced: a request's first
    // change at once, its fade's steps held until the record has been
    // still for stateQuietMs. When to look again; 0: nothing held.
    long long paceStates(long long now);
    void publishState(Known &known, const PanelState &state, bool all);
    void publish(const std::string &topic, const std::string &payload, bool retain);
    void command(const std::string &place, const char *data, std::size_t size, const std::string &topic);
    // idleentities.cpp: the device brightness-idle's entities join.
    IdleDevice idleDevice() const;
    // forget.cpp: --forget, once connected: what the broker keeps for the
    // places asked, then their topics emptied, then the loop ends.
    enum class ForgetStage { Connecting, Checking, Forgetting, Done };
    std::vector<std::string> forgetTopics(const std::string &place) const;
    std::string forgetMarker() const;
    void forgetConnected();
    void forgetReceived(const std::string &topic, bool retained, std::size_t size);
    void forgetAcknowledged(int mid);
    // Outside libmosquitto's callbacks, once forgetDue is set.
    void forgetStep();
    void forgetEnd(int status, const std::string &why);
    void forget();
    int forgetStatus = control::Failure;  // until it is done
    ForgetStage forgetStage = ForgetStage::Connecting;
    bool forgetDue = false;
    std::set<std::string> retainedSeen;  // of the places' topics
    std::set<int> unacked;

    Settings settings;
    Topics topics;
    control::Log &log;
    control::Daemon daemon;  // given back after the watches
    control::RecordWatch record;
    control::DeviceMonitor devices;
    sd_event *loop = nullptr;  // the daemon's
    sd_event_source *timer = nullptr;  // the states' pace
    Connection connection;
    Commands commands;
    long long statesSentAt = 0;    // ms: when the record was last published
    long long statesDueAt = 0;     // ms: when it is to be published; 0: not
    std::map<std::string, Known> panels;  // by place and identity
    std::unique_ptr<IdleEntities> idle;  // none with --no-idle and --forget
    std::set<std::string> markedAbsent;  // configs retained for displays not here
};

// How long a fade's steps must have stopped before its end is published.
const long long stateQuietMs = 1000;

} // namespace mqtt

#endif
