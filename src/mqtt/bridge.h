#ifndef MQTT_BRIDGE_H
#define MQTT_BRIDGE_H

// The long-running part, one sd-event loop: one MQTT connection, the
// displays found, the record's state published, and each command run as a
// fade of its own per display, stepped by the loop's timer.

#include <map>
#include <set>
#include <memory>
#include <sstream>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "control/displays.h"
#include "control/environment.h"
#include "control/fade.h"
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
    // A command in progress on one display.
    struct Running {
        control::Scan scan;  // its descriptor, open until the fade is over
        std::unique_ptr<std::ostringstream> messages;  // the fade's
        std::unique_ptr<control::Fade> fade;
    };

    bool setUp(std::string *why);
    static int onTimer(sd_event_source *source, std::uint64_t usec, void *self);
    static int onPending(sd_event_source *source, void *self);
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
    void start(const std::string &place, const Command &command);
    void stepFades(long long now);
    // say: publish the state it leaves.
    void endFade(std::map<std::string, Running>::iterator it, bool say = true);
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
    sd_event_source *timer = nullptr;  // the states' pace and the fades' steps
    sd_event_source *later = nullptr;  // runs the pending commands
    Connection connection;
    long long statesSentAt = 0;    // ms: when the record was last published
    long long statesDueAt = 0;     // ms: when it is to be published; 0: not
    std::map<std::string, Known> panels;  // by place and identity
    std::unique_ptr<IdleEntities> idle;  // none with --no-idle and --forget
    std::set<std::string> markedAbsent;  // configs retained for displays not here
    std::map<std::string, Running> fades;  // by place
    // Commands taken but not yet run, by target ("" for all): run once
    // nothing else is ready, so that a burst writes only its newest level.
    std::vector<std::pair<std::string, Command>> pending;
    // Commands write the record without flushing it; this timer flushes
    // it within a second of the first such write, so that a flood costs at
    // most one fsync a second.
    sd_event_source *syncTimer = nullptr;
    bool syncDue = false;
    long long unsyncedSince = 0;  // ms: the first write not flushed yet
    long long syncedAt = -1000000;  // ms: the last flush
    static int onSync(sd_event_source *source, std::uint64_t usec, void *self);
    void scheduleSync();
    void syncRecord();
};

// The longest a command's record write stays in memory only, and the
// least time between two flushes.
const long long syncDelayMs = 1000;
// The pause in commands after which the record is flushed sooner.
const long long syncQuietMs = 200;
// How long a fade's steps must have stopped before its end is published.
const long long stateQuietMs = 1000;

} // namespace mqtt

#endif
