#include "mqtt/connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/epoll.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include "control/clock.h"
#include "control/status.h"

namespace mqtt {

namespace {

const long long firstBackoffMs = 500;
const long long maxBackoffMs = 30000;
// A connection that lasted this long was a real one: the next loss starts
// the backoff anew. A broker that drops us at once (a client id taken
// twice) keeps it growing.
const long long stableMs = 30000;
// Lost this soon after connecting, this many times in a row: most likely
// another client with the same id (a cloned SD card) takes it over.
const long long quickDropMs = 5000;
const int quickDropsTold = 3;

// The longest one address of the broker's name is given to answer before
// the next is tried; a keepalive shorter than this is the limit.
const int attemptLimitS = 10;

// The largest message taken: commands and the retained discovery configs
// read back are a few kilobytes.
const int maxPacketBytes = 64 * 1024;

extern "C" void onConnect(mosquitto *, void *self, int rc)
{
    static_cast<Connection *>(self)->connected(rc);
}

extern "C" void onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    static_cast<Connection *>(self)->received(*message);
}

extern "C" void onPublish(mosquitto *, void *self, int mid)
{
    static_cast<Connection *>(self)->acknowledged(mid);
}

extern "C" void onLog(mosquitto *, void *self, int level, const char *text)
{
    static_cast<Connection *>(self)->libraryLog(level, text);
}

std::string errorText(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

} // namespace

long long monotonicMs()
{
    return control::monotonicNs() / 1000000;
}

Connection::Connection(Config config, control::Log &log, Handlers handlers)
    : config(std::move(config)), log(log), handlers(std::move(handlers))
{
}

Connection::~Connection()
{
    reach.cancel();
    sd_event_source_disable_unref(socket);
    sd_event_source_disable_unref(timer);
    if (mosq)
        mosquitto_destroy(mosq);
    mosquitto_property_free_all(&connectProperties);
    mosquitto_lib_cleanup();
}

bool Connection::open(sd_event *eventLoop, std::string *why)
{
    loop = eventLoop;
    mosquitto_lib_init();
    const int r = sd_event_add_time(loop, &timer, CLOCK_MONOTONIC, UINT64_MAX, 1000, onTimer, this);
    if (r < 0) {
        *why = std::string("event loop: ") + std::strerror(-r);
        return false;
    }
    if (!makeClient(why))
        return false;
    tick(monotonicMs());
    return true;
}

bool Connection::publish(const std::string &topic, const std::string &payload, bool retain, int *mid)
{
    if (link != Link::Up)
        return false;
    const int rc = mosquitto_publish(mosq, mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.empty() ? nullptr : payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS)
        log.limited("publish", control::Priority::Warning, "cannot publish on " + topic + ": " + mosquitto_strerror(rc),
                    control::monotonicNs());
    return rc == MOSQ_ERR_SUCCESS;
}

bool Connection::subscribe(const std::string &topic)
{
    return link == Link::Up && mosquitto_subscribe(mosq, nullptr, topic.c_str(), 1) == MOSQ_ERR_SUCCESS;
}

void Connection::close(bool sayOffline)
{
    if (link == Link::Up) {
        if (sayOffline && !config.will.empty())
            mosquitto_publish(mosq, nullptr, config.will.c_str(), 7, "offline", 1, true);
        mosquitto_disconnect(mosq);
        for (long long end = monotonicMs() + 1000; mosquitto_want_write(mosq) && monotonicMs() < end;)
            if (mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS)
                break;
    }
    link = Link::Closed;
    reach.cancel();
    sd_event_source_set_enabled(socket, SD_EVENT_OFF);
    sd_event_source_set_enabled(timer, SD_EVENT_OFF);
}

int Connection::onTimer(sd_event_source *, std::uint64_t, void *self)
{
    static_cast<Connection *>(self)->tick(monotonicMs());
    return 0;
}

void Connection::tick(long long now)
{
    if (link == Link::Waiting && now >= retryAt)
        tryConnect(now);
    // mosquitto keeps time in whole seconds: one more makes sure its
    // keepalive is due when it is asked.
    // While the probe is under way there is no connection to keep alive:
    // the probe keeps its own time for each address.
    if ((link == Link::Connecting || link == Link::Up) && !reach.active()
        && now >= lastTraffic + (config.options.keepalive + 1) * 1000LL)
        pump(0, now);
    arm(monotonicMs());
}

void Connection::arm(long long now)
{
    if (link == Link::Closed)
        return;
    const long long next = link == Link::Waiting ? retryAt : lastTraffic + (config.options.keepalive + 1) * 1000LL;
    sd_event_source_set_time(timer, static_cast<unsigned long long>(std::max(next, now)) * 1000);
    sd_event_source_set_enabled(timer, SD_EVENT_ONESHOT);
}

int Connection::onSocket(sd_event_source *, int, unsigned revents, void *self)
{
    Connection *c = static_cast<Connection *>(self);
    const long long now = monotonicMs();
    c->pump(revents, now);
    if (c->handlers.pumped)
        c->handlers.pumped();
    c->arm(now);
    return 0;
}

void Connection::pump(unsigned revents, long long now)
{
    const bool live = link == Link::Connecting || link == Link::Up;
    int rc = MOSQ_ERR_SUCCESS;
    if (revents & (EPOLLIN | EPOLLHUP | EPOLLERR))
        rc = mosquitto_loop_read(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && live && mosquitto_want_write(mosq))
        rc = mosquitto_loop_write(mosq, 1);
    // After a wake-up for the keepalive, the next one is a keepalive away.
    lastTraffic = now;
    if (rc == MOSQ_ERR_SUCCESS && live)
        rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS && (link == Link::Connecting || link == Link::Up))
        lost(rc, now);
}

void Connection::received(const mosquitto_message &message)
{
    if (handlers.message)
        handlers.message(message);
}

void Connection::acknowledged(int mid)
{
    if (handlers.acknowledged)
        handlers.acknowledged(mid);
}

bool Connection::makeClient(std::string *why)
{
    const Options &o = config.options;
    if (mosq)
        mosquitto_destroy(mosq);
    mosq = mosquitto_new((config.clientId + config.idSuffix).c_str(), true, this);
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
    // A client that dies without a word shows as unavailable.
    int rc = config.will.empty() ? MOSQ_ERR_SUCCESS
                                 : mosquitto_will_set(mosq, config.will.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !o.username.empty())
        rc = mosquitto_username_pw_set(mosq, o.username.c_str(),
                                       config.password.empty() ? nullptr : config.password.c_str());
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

void Connection::tryConnect(long long now)
{
    const Options &o = config.options;
    link = Link::Connecting;
    lastTraffic = now;
    answered = versionRefused = false;
    // Connected once the broker has answered: the name resolved off the
    // loop, each address given its own time (reach.h). libmosquitto's own
    // connect tries the first address only: "localhost" is ::1 first on
    // most machines, and many brokers listen on 127.0.0.1 alone.
    reach.start(loop, o.host, o.port, std::min(o.keepalive, attemptLimitS) * 1000000ULL,
                [this](const std::string &why, const std::string &address) { reached(why, address); });
}

void Connection::reached(const std::string &why, const std::string &address)
{
    const long long now = monotonicMs();
    if (!why.empty()) {
        lost(MOSQ_ERR_NO_CONN, now, why);
        return;
    }
    const Options &o = config.options;
    // The address that answered, so that the blocking connect neither
    // resolves again nor waits on an address that drops its packets. TLS
    // checks the certificate against the name: it is given the name.
    const std::string target = o.tls || address.empty() ? o.host : address;
    const int rc = version5
        ? mosquitto_connect_bind_v5(mosq, target.c_str(), o.port, o.keepalive, nullptr, connectProperties)
        : mosquitto_connect_bind(mosq, target.c_str(), o.port, o.keepalive, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(rc, now);
        return;
    }
    lastTraffic = now;
    watchSocket();
}

bool Connection::olderProtocol(int rc)
{
    // An MQTT 3.1.1 broker answers a version 5 CONNECT with a CONNACK of
    // its own version, which reads as malformed, or refuses the version.
    // Any other answer (a refused password) is the broker speaking 5.
    if (!version5 || link != Link::Connecting
        || !(versionRefused || (!answered && (rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_MALFORMED_PACKET))))
        return false;
    version5 = false;
    // A client that once tried version 5 refuses a 3.1.1 connect: a new one.
    std::string why;
    if (!makeClient(&why)) {
        log.error(why);
        sd_event_exit(loop, control::Failure);
        return true;
    }
    if (!olderTold)
        log.warning("the broker at " + config.options.host + " does not speak MQTT 5; using MQTT 3.1.1, in which it "
                    "cannot be told to keep messages larger than 64 KiB from this program");
    olderTold = true;
    return true;
}

void Connection::watchSocket()
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

int Connection::onPrepare(sd_event_source *source, void *self)
{
    // Before each wait: whether the client has something to send.
    mosquitto *mosq = static_cast<Connection *>(self)->mosq;
    sd_event_source_set_io_events(source, EPOLLIN | (mosquitto_want_write(mosq) ? unsigned(EPOLLOUT) : 0u));
    return 0;
}

void Connection::libraryLog(int level, const char *text)
{
    // A TLS failure's reason (a certificate, a host name) is only said
    // here; the error code says no more than "A TLS error occurred".
    if (level == MOSQ_LOG_ERR && text && std::strncmp(text, "OpenSSL Error", 13) == 0 && tlsReason.size() < 512) {
        const char *colon = std::strstr(text, "]: ");
        tlsReason += (tlsReason.empty() ? "" : "; ") + std::string(colon ? colon + 3 : text);
    }
}

void Connection::lost(int rc, long long now, const std::string &why)
{
    const Options &o = config.options;
    reach.cancel();
    sd_event_source_disable_unref(socket);
    socket = nullptr;
    if (olderProtocol(rc)) {
        link = Link::Waiting;
        retryAt = now;
        arm(now);
        return;
    }
    if (!version5) {
        // 3.1.1 was for the one connection after the refusal: a broker
        // upgraded meanwhile, or one garbled answer, must not cost MQTT 5's
        // packet limit for the life of the process.
        version5 = true;
        std::string failed;
        if (!makeClient(&failed)) {
            log.error(failed);
            sd_event_exit(loop, control::Failure);
            return;
        }
    }
    std::string reason = why.empty() ? errorText(rc) : why;
    // libmosquitto 2.0 names neither of these.
    const std::string keepalive = std::to_string(o.keepalive) + " s";
    if (rc == MOSQ_ERR_KEEPALIVE && (answered || link == Link::Up))
        reason = "nothing heard from the broker within the keepalive (" + keepalive + ")";
    else if (rc == MOSQ_ERR_KEEPALIVE)
        reason = "no MQTT answer within the keepalive (" + keepalive + "): is it an MQTT broker's port?";
    else if ((rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_MALFORMED_PACKET) && !answered && link != Link::Up)
        reason = "the answer was not MQTT: is it an MQTT broker's port?";
    if (rc == MOSQ_ERR_TLS && !tlsReason.empty())
        reason += " (" + tlsReason + ")";
    tlsReason.clear();
    const std::string &id = config.clientId;
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
    // Lost outside tick() too (the probe's answer): the timer was set for
    // the keepalive, not for the retry.
    arm(now);
}

void Connection::connected(int rc)
{
    const Options &o = config.options;
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
        const std::string refused = "the broker at " + o.host + ':' + std::to_string(o.port)
            + " refused the connection: " + (version5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc))
            + (credentials ? " (check --username and --password-file)" : "");
        if (!handlers.refused || !handlers.refused(refused))
            log.limited("refused", control::Priority::Error, refused + "; trying again, less and less often",
                        control::monotonicNs());
        return;
    }
    link = Link::Up;
    upSince = monotonicMs();
    log.reset("connect");
    log.reset("refused");
    log.info("connected to " + o.host + ':' + std::to_string(o.port) + " as " + config.name);
    if (handlers.up)
        handlers.up();
}


} // namespace mqtt
