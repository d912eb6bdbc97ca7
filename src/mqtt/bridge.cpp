#include "bridge.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/epoll.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include "clock.h"
#include "status.h"

namespace mqtt {

namespace {

const long long firstBackoffMs = 500;
const long long maxBackoffMs = 30000;
// The record changes at every step of a fade: its state goes out at most
// this often, the first change at once.
const long long stateIntervalMs = 50;
// A connection that lasted this long was a real one: the next loss starts
// the backoff anew. A broker that drops us at once (a client id taken
// twice) keeps it growing.
const long long stableMs = 30000;
// Lost this soon after connecting, this many times in a row: most likely
// another client with the same id (a cloned SD card) takes it over.
const long long quickDropMs = 5000;
const int quickDropsTold = 3;

// The largest message taken: commands and the retained discovery configs
// read back are a few kilobytes.
const int maxPacketBytes = 64 * 1024;

extern "C" void onConnect(mosquitto *, void *self, int rc)
{
    static_cast<Bridge *>(self)->connected(rc);
}

extern "C" void onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    static_cast<Bridge *>(self)->received(*message);
}

extern "C" void onPublish(mosquitto *, void *self, int mid)
{
    static_cast<Bridge *>(self)->acknowledged(mid);
}

extern "C" void onLog(mosquitto *, void *self, int level, const char *text)
{
    static_cast<Bridge *>(self)->libraryLog(level, text);
}

std::string errorText(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

long long earliest(long long a, long long b)
{
    return a < 0 ? b : b < 0 ? a : std::min(a, b);
}

} // namespace

long long monotonicMs()
{
    return control::monotonicNs() / 1000000;
}

Bridge::Bridge(const Settings &settings, control::Log &log)
    : settings(settings),
      topics(settings.options.prefix, settings.options.discoveryPrefix, settings.options.groupTopic, settings.nodeId),
      log(log)
{
}

Bridge::~Bridge()
{
    // Its bus connection is on the loop.
    idle.reset();
    for (auto &f : fades)
        control::closeDisplays(&f.second.scan);
    sd_event_source_disable_unref(socket);
    sd_event_source_disable_unref(later);
    sd_event_source_disable_unref(timer);
    for (sd_event_source *s : signals)
        sd_event_source_disable_unref(s);
    if (mosq)
        mosquitto_destroy(mosq);
    mosquitto_property_free_all(&connectProperties);
    mosquitto_lib_cleanup();
    sd_event_unref(loop);
}

bool Bridge::setUp(std::string *why)
{
    const Options &o = settings.options;
    int r = sd_event_new(&loop);
    if (r >= 0)
        r = sd_event_add_time(loop, &timer, CLOCK_MONOTONIC, UINT64_MAX, 1000, onTimer, this);
    if (r >= 0)
        r = sd_event_add_defer(loop, &later, onPending, this);
    if (r >= 0)
        r = sd_event_source_set_priority(later, SD_EVENT_PRIORITY_IDLE);
    if (r >= 0)
        r = sd_event_source_set_enabled(later, SD_EVENT_OFF);
    if (r >= 0)
        r = sd_event_add_signal(loop, &signals[0], SIGTERM, onSignal, this);
    if (r >= 0)
        r = sd_event_add_signal(loop, &signals[1], SIGINT, onSignal, this);
    if (r < 0) {
        *why = std::string("event loop: ") + std::strerror(-r);
        return false;
    }
    const auto recordChanged = [this] {
        const long long now = monotonicMs();
        if (!statesDueAt)
            statesDueAt = std::max(now, statesSentAt + stateIntervalMs);
        arm(now);
    };
    if (!record.open(loop, settings.env.stateDir, recordChanged, why))
        return false;
    std::string noUdev;
    if (!devices.open(loop, "hidraw", "", [this](bool, const std::string &) { rescan(); }, &noUdev))
        log.warning(noUdev + "; displays plugged in later are seen at the next start");
    if (o.forget.empty() && !o.noIdle) {
        idle = std::make_unique<IdleEntities>(topics, settings.origin, log,
                                              [this](const std::string &t, const std::string &p, bool r) { publish(t, p, r); });
        idle->open(loop);
    }
    mosquitto_lib_init();
    return makeClient(why);
}

bool Bridge::makeClient(std::string *why)
{
    const Options &o = settings.options;
    if (mosq)
        mosquitto_destroy(mosq);
    // --forget runs beside the service: an id of its own, or each would
    // throw the other off the broker.
    const std::string id = (o.clientId.empty() ? settings.nodeId : o.clientId) + (o.forget.empty() ? "" : "-forget");
    mosq = mosquitto_new(id.c_str(), true, this);
    if (!mosq) {
        *why = std::string("cannot make an MQTT client: ") + std::strerror(errno);
        return false;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, version5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    if (!connectProperties
        && mosquitto_property_add_int32(&connectProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE, maxPacketBytes)
               != MOSQ_ERR_SUCCESS) {
        *why = "cannot set up the MQTT client: out of memory";
        return false;
    }
    mosquitto_connect_callback_set(mosq, onConnect);
    mosquitto_message_callback_set(mosq, onMessage);
    mosquitto_log_callback_set(mosq, onLog);
    mosquitto_publish_callback_set(mosq, onPublish);
    // A bridge that dies without a word shows as unavailable.
    const std::string availability = topics.availability();
    int rc = o.forget.empty() ? mosquitto_will_set(mosq, availability.c_str(), 7, "offline", 1, true)
                              : MOSQ_ERR_SUCCESS;
    if (rc == MOSQ_ERR_SUCCESS && !o.username.empty())
        rc = mosquitto_username_pw_set(mosq, o.username.c_str(),
                                       settings.password.empty() ? nullptr : settings.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && o.tls) {
        if (o.caFile.empty()) {
            mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            rc = mosquitto_tls_set(mosq, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
        } else {
            rc = mosquitto_tls_set(mosq, o.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *why = "cannot set up the MQTT client: " + errorText(rc);
        return false;
    }
    return true;
}

int Bridge::run()
{
    std::string why;
    if (!setUp(&why)) {
        log.error(why);
        return control::Failure;
    }
    if (settings.options.forget.empty())
        rescan();
    tick(monotonicMs());
    // Ready once the displays are offered and the broker is being reached.
    sd_notify(0, "READY=1");
    const int r = sd_event_loop(loop);
    sd_notify(0, "STOPPING=1");
    if (r < 0) {
        log.error(std::string("event loop: ") + std::strerror(-r));
        return control::Failure;
    }
    if (r > 0)
        return r;
    if (!settings.options.forget.empty())
        return forgetStatus;
    log.info("stopped");
    return control::Ok;
}

int Bridge::onSignal(sd_event_source *, const signalfd_siginfo *, void *self)
{
    static_cast<Bridge *>(self)->stop();
    return 0;
}

void Bridge::stop()
{
    // A fade under way ends here; the record keeps its last step for good.
    for (auto &f : fades)
        f.second.fade->interrupt();
    while (!fades.empty())
        endFade(fades.begin());
    if (link == Link::Up) {
        // Gone on purpose: say so now rather than through the will later.
        const std::string availability = topics.availability();
        mosquitto_publish(mosq, nullptr, availability.c_str(), 7, "offline", 1, true);
        mosquitto_disconnect(mosq);
        for (long long end = monotonicMs() + 1000; mosquitto_want_write(mosq) && monotonicMs() < end;)
            if (mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS)
                break;
    }
    sd_event_exit(loop, 0);
}

int Bridge::onTimer(sd_event_source *, std::uint64_t, void *self)
{
    static_cast<Bridge *>(self)->tick(monotonicMs());
    return 0;
}

void Bridge::tick(long long now)
{
    if (link == Link::Waiting && now >= retryAt)
        tryConnect(now);
    if (statesDueAt && now >= statesDueAt) {
        statesSentAt = now;
        statesDueAt = 0;
        publishStates(false);
    }
    // mosquitto keeps time in whole seconds: one more makes sure its
    // keepalive is due when it is asked.
    if (link != Link::Waiting && now >= lastTraffic + (settings.options.keepalive + 1) * 1000LL)
        pump(0, now);
    if (pendingDueAt && now >= pendingDueAt) {
        pendingDueAt = 0;
        sd_event_source_set_enabled(later, SD_EVENT_ONESHOT);
    }
    stepFades(control::monotonicNs());
    arm(monotonicMs());
}

void Bridge::arm(long long now)
{
    long long next = link == Link::Waiting ? retryAt : lastTraffic + (settings.options.keepalive + 1) * 1000LL;
    if (statesDueAt)
        next = std::min(next, statesDueAt);
    if (pendingDueAt)
        next = std::min(next, pendingDueAt);
    long long fadeNs = -1;
    for (const auto &f : fades)
        fadeNs = earliest(fadeNs, f.second.fade->due());
    unsigned long long usec = static_cast<unsigned long long>(std::max(next, now)) * 1000;
    if (fadeNs >= 0)
        usec = std::min(usec, static_cast<unsigned long long>((fadeNs + 999) / 1000));
    sd_event_source_set_time(timer, usec);
    sd_event_source_set_enabled(timer, SD_EVENT_ONESHOT);
}

void Bridge::tryConnect(long long now)
{
    const Options &o = settings.options;
    link = Link::Connecting;
    lastTraffic = now;
    answered = versionRefused = false;
    if (version5) {
        // Connected once the broker has answered; no answer within the
        // keepalive counts as lost, as a silent connection does.
        reach.start(loop, o.host, o.port, [this](const std::string &why) { reached(why); });
        return;
    }
    const int rc = started ? mosquitto_reconnect_async(mosq)
                           : mosquitto_connect_async(mosq, o.host.c_str(), o.port, o.keepalive);
    started = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(rc, now);
        return;
    }
    watchSocket();
}

void Bridge::reached(const std::string &why)
{
    const long long now = monotonicMs();
    if (!why.empty()) {
        lost(MOSQ_ERR_NO_CONN, now, why);
        return;
    }
    const Options &o = settings.options;
    const int rc = mosquitto_connect_bind_v5(mosq, o.host.c_str(), o.port, o.keepalive, nullptr, connectProperties);
    started = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(rc, now);
        return;
    }
    lastTraffic = now;
    watchSocket();
}

bool Bridge::olderProtocol(int rc)
{
    // An MQTT 3.1.1 broker answers a version 5 CONNECT with a CONNACK of
    // its own version, which reads as malformed, or refuses the version.
    // Any other answer (a refused password) is the broker speaking 5.
    if (!version5 || link != Link::Connecting
        || !(versionRefused || (!answered && (rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_MALFORMED_PACKET))))
        return false;
    version5 = false;
    started = false;
    // A client that once tried version 5 refuses a 3.1.1 connect: a new one.
    std::string why;
    if (!makeClient(&why)) {
        log.error(why);
        sd_event_exit(loop, control::Failure);
        return true;
    }
    log.warning("the broker at " + settings.options.host + " does not speak MQTT 5; using MQTT 3.1.1, in which it "
                "cannot be told to keep messages larger than 64 KiB from this program");
    return true;
}

void Bridge::watchSocket()
{
    sd_event_source_disable_unref(socket);
    socket = nullptr;
    socketFd = mosquitto_socket(mosq);
    if (socketFd < 0)
        return;
    int r = sd_event_add_io(loop, &socket, socketFd, EPOLLIN, onSocket, this);
    if (r >= 0)
        r = sd_event_source_set_prepare(socket, onPrepare);
    if (r < 0)
        log.error(std::string("cannot watch the broker's connection: ") + std::strerror(-r));
}

int Bridge::onPrepare(sd_event_source *source, void *self)
{
    // Before each wait: whether the client has something to send.
    mosquitto *mosq = static_cast<Bridge *>(self)->mosq;
    sd_event_source_set_io_events(source, EPOLLIN | (mosquitto_want_write(mosq) ? unsigned(EPOLLOUT) : 0u));
    return 0;
}

int Bridge::onSocket(sd_event_source *, int, unsigned revents, void *self)
{
    Bridge *b = static_cast<Bridge *>(self);
    const long long now = monotonicMs();
    b->pump(revents, now);
    if (b->forgetDue) {
        // Not from within libmosquitto's callbacks, which hold its locks.
        b->forgetDue = false;
        if (b->unacked.empty() && b->forgetStatus == control::Ok && b->link == Link::Up && !b->forgetting) {
            b->forgetting = true;
            b->forget();
        } else if (b->forgetting) {
            b->log.info("forgotten");
            mosquitto_disconnect(b->mosq);
            mosquitto_loop_write(b->mosq, 1);
            b->link = Link::Waiting;
            sd_event_exit(b->loop, 0);
            return 0;
        }
    }
    b->arm(now);
    return 0;
}

void Bridge::pump(unsigned revents, long long now)
{
    int rc = MOSQ_ERR_SUCCESS;
    if (revents & (EPOLLIN | EPOLLHUP | EPOLLERR))
        rc = mosquitto_loop_read(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && link != Link::Waiting && mosquitto_want_write(mosq))
        rc = mosquitto_loop_write(mosq, 1);
    // After a wake-up for the keepalive, the next one is a keepalive away.
    lastTraffic = now;
    if (rc == MOSQ_ERR_SUCCESS && link != Link::Waiting)
        rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS && link != Link::Waiting)
        lost(rc, now);
}

void Bridge::libraryLog(int level, const char *text)
{
    // A TLS failure's reason (a certificate, a host name) is only said
    // here; the error code says no more than "A TLS error occurred".
    if (level == MOSQ_LOG_ERR && text && std::strncmp(text, "OpenSSL Error", 13) == 0 && tlsReason.size() < 512) {
        const char *colon = std::strstr(text, "]: ");
        tlsReason += (tlsReason.empty() ? "" : "; ") + std::string(colon ? colon + 3 : text);
    }
}

void Bridge::lost(int rc, long long now, const std::string &why)
{
    const Options &o = settings.options;
    reach.cancel();
    sd_event_source_disable_unref(socket);
    socket = nullptr;
    if (olderProtocol(rc)) {
        link = Link::Waiting;
        retryAt = now;
        return;
    }
    std::string reason = why.empty() ? errorText(rc) : why;
    if (rc == MOSQ_ERR_TLS && !tlsReason.empty())
        reason += " (" + tlsReason + ")";
    tlsReason.clear();
    const std::string id = o.clientId.empty() ? settings.nodeId : o.clientId;
    if (link == Link::Up && now - upSince < quickDropMs) {
        if (++quickDrops == quickDropsTold)
            log.warning("the broker dropped the connection " + std::to_string(quickDrops)
                        + " times within seconds of connecting: another client likely uses the client id " + id
                        + ", such as a copy of this machine's SD card; give each machine its own --node-id, or run "
                          "systemd-machine-id-setup on a cloned card (after removing /etc/machine-id)");
    } else if (link == Link::Up) {
        quickDrops = 0;
    }
    if (link == Link::Up && (quickDrops < quickDropsTold || log.isVerbose()))
        log.warning("lost the connection to " + o.host + ':' + std::to_string(o.port) + ": " + reason);
    else if (link != Link::Up && rc != MOSQ_ERR_CONN_REFUSED && rc != MOSQ_ERR_AUTH && !answered)
        log.limited("connect", control::Priority::Warning, "cannot connect to " + o.host + ':' + std::to_string(o.port)
                        + ": " + reason + "; trying again, less and less often", now * 1000000);
    if (link == Link::Up && now - upSince >= stableMs)
        backoffMs = 0;
    link = Link::Waiting;
    backoffMs = backoffMs ? std::min(backoffMs * 2, maxBackoffMs) : firstBackoffMs;
    // Spread out, so that a building's panels do not come back at the same
    // instant after a broker restart.
    static std::minstd_rand jitter(static_cast<unsigned>(now ^ getpid()));
    retryAt = now + backoffMs - static_cast<long long>(jitter() % static_cast<unsigned>(backoffMs / 4 + 1));
}

void Bridge::connected(int rc)
{
    const Options &o = settings.options;
    answered = true;
    if (rc != 0) {
        // Refused: loop_read fails next, which schedules the retry.
        // The client is made anew once the connection is over, not from
        // within its own callback.
        versionRefused = rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
        if (versionRefused)
            return;
        const bool credentials = version5 ? rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == MQTT_RC_NOT_AUTHORIZED
                                          : rc == 4 || rc == 5;
        log.limited("refused", control::Priority::Error, "the broker at " + o.host + ':' + std::to_string(o.port)
                        + " refused the connection: "
                        + (version5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc))
                        + (credentials ? " (check --username and --password-file)" : "")
                        + "; trying again, less and less often", control::monotonicNs());
        return;
    }
    link = Link::Up;
    upSince = monotonicMs();
    log.reset("connect");
    log.reset("refused");
    log.info("connected to " + o.host + ':' + std::to_string(o.port) + " as " + topics.node());
    if (!o.forget.empty()) {
        forgetDue = true;
        return;
    }
    mosquitto_subscribe(mosq, nullptr, topics.commands().c_str(), 1);
    mosquitto_subscribe(mosq, nullptr, topics.group().c_str(), 1);
    // What the broker retained from an earlier run, for displays gone since.
    mosquitto_subscribe(mosq, nullptr, topics.discoveries().c_str(), 1);
    publish(topics.availability(), "online", true);
    for (auto &entry : panels)
        announce(entry.second);
    publishStates(true);
    // After the lights, so that their device is known when these join it.
    if (idle) {
        mosquitto_subscribe(mosq, nullptr, idle->commands().c_str(), 1);
        idle->announce();
    }
}

void Bridge::received(const mosquitto_message &message)
{
    const std::string topic = message.topic ? message.topic : "";
    const char *data = static_cast<const char *>(message.payload);
    const std::size_t size = message.payloadlen > 0 ? static_cast<std::size_t>(message.payloadlen) : 0;
    const std::string stale = topics.discoveryObject(topic);
    if (!stale.empty()) {
        // Only what the broker kept from an earlier run; anyone's live
        // message there (and this program's own) changes nothing.
        if (message.retain && size > 0)
            absent(stale);
        return;
    }
    const bool forIdle = idle && idle->isCommand(topic);
    const std::string object = topics.commandObject(topic);
    if (topic != topics.group() && object.empty() && !forIdle)
        return;
    if (message.retain) {
        // Replayed at every connect, it would undo newer settings.
        log.limited("retained", control::Priority::Warning, "ignored a retained command on " + logTopic(topic)
                        + ": clear it with mosquitto_pub -r -n -t '" + logTopic(topic) + "'", control::monotonicNs());
        return;
    }
    if (forIdle) {
        idle->command(topic, data, size);
        return;
    }
    if (topic == topics.group()) {
        command(std::string(), data, size, topic);
        return;
    }
    for (const auto &entry : panels)
        if (entry.second.panel.object == object) {
            command(entry.second.panel.place, data, size, topic);
            return;
        }
    log.limited("no display", control::Priority::Warning,
                "ignored a command on " + logTopic(topic) + ": no such display here", control::monotonicNs());
}

} // namespace mqtt
