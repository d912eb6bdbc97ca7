#include "bridge.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <random>

#include <mosquitto.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

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

extern "C" void onConnect(mosquitto *, void *self, int rc)
{
    static_cast<Bridge *>(self)->connected(rc);
}

extern "C" void onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    static_cast<Bridge *>(self)->received(*message);
}

std::string errorText(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

} // namespace

long long monotonicMs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

Bridge::Bridge(const Settings &settings)
    : settings(settings),
      topics(settings.options.prefix, settings.options.discoveryPrefix, settings.options.groupTopic, settings.nodeId),
      log(*settings.env.err), runner(settings.env, log)
{
}

Bridge::~Bridge()
{
    if (mosq)
        mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
}

bool Bridge::setUp(std::string *why)
{
    const Options &o = settings.options;
    if (!runner.ready(why) || !watches.watchRecord(settings.env.stateDir, why))
        return false;
    std::string noUdev;
    if (!watches.watchDevices(&noUdev))
        log.say(noUdev + "; displays plugged in later are seen at the next start");
    mosquitto_lib_init();
    const std::string id = o.clientId.empty() ? settings.nodeId : o.clientId;
    mosq = mosquitto_new(id.c_str(), true, this);
    if (!mosq) {
        *why = std::string("cannot make an MQTT client: ") + std::strerror(errno);
        return false;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq, onConnect);
    mosquitto_message_callback_set(mosq, onMessage);
    // A bridge that dies without a word shows as unavailable.
    const std::string availability = topics.availability();
    int rc = mosquitto_will_set(mosq, availability.c_str(), 7, "offline", 1, true);
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
        log.say(why);
        return ctl::Failure;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    const int signalFd = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        log.say(std::string("signalfd: ") + std::strerror(errno));
        return ctl::Failure;
    }
    rescan();
    loop(signalFd);
    close(signalFd);
    if (link == Link::Up) {
        // Gone on purpose: say so now rather than through the will later.
        const std::string availability = topics.availability();
        mosquitto_publish(mosq, nullptr, availability.c_str(), 7, "offline", 1, true);
        mosquitto_disconnect(mosq);
        for (long long end = monotonicMs() + 1000; mosquitto_want_write(mosq) && monotonicMs() < end;)
            if (mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS)
                break;
    }
    log.say("stopped");
    if (runner.busy()) {
        // A fade is under way: the record holds every step that reached
        // the display, so it simply ends here.
        std::cerr.flush();
        _exit(ctl::Ok);
    }
    return ctl::Ok;
}

void Bridge::loop(int signalFd)
{
    for (;;) {
        const long long now = monotonicMs();
        if (link == Link::Waiting && now >= retryAt)
            tryConnect(now);
        pollfd fds[5] = {{signalFd, POLLIN, 0}, {watches.recordFd(), POLLIN, 0}, {watches.devicesFd(), POLLIN, 0},
                         {runner.fd(), POLLIN, 0}, {-1, 0, 0}};
        if (link != Link::Waiting)
            fds[4] = {mosquitto_socket(mosq), static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0};
        const int n = poll(fds, 5, pollTimeout(now));
        if (n < 0 && errno != EINTR) {
            log.say(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents && watches.recordChanged() && !statesDueAt)
            statesDueAt = std::max(now, statesSentAt + stateIntervalMs);
        if (statesDueAt && monotonicMs() >= statesDueAt) {
            statesSentAt = monotonicMs();
            statesDueAt = 0;
            publishStates(false);
        }
        if (fds[2].revents && watches.devicesChanged())
            rescan();
        if (fds[3].revents)
            runner.service();
        if (link != Link::Waiting)
            pump(fds[4].revents, n == 0, monotonicMs());
    }
}

int Bridge::pollTimeout(long long now) const
{
    long long until;
    if (link == Link::Waiting)
        until = retryAt;
    else
        // mosquitto keeps time in whole seconds: one more makes sure its
        // keepalive is due when it is asked.
        until = lastTraffic + (settings.options.keepalive + 1) * 1000LL;
    if (statesDueAt)
        until = std::min(until, statesDueAt);
    return static_cast<int>(std::max(0LL, std::min(until - now, 3600 * 1000LL)));
}

void Bridge::tryConnect(long long now)
{
    const Options &o = settings.options;
    const int rc = started ? mosquitto_reconnect_async(mosq)
                           : mosquitto_connect_async(mosq, o.host.c_str(), o.port, o.keepalive);
    started = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(rc, now);
        return;
    }
    link = Link::Connecting;
    lastTraffic = now;
}

void Bridge::pump(short revents, bool idle, long long now)
{
    int rc = MOSQ_ERR_SUCCESS;
    if (revents & (POLLIN | POLLHUP | POLLERR))
        rc = mosquitto_loop_read(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && link != Link::Waiting && mosquitto_want_write(mosq))
        rc = mosquitto_loop_write(mosq, 1);
    // After a wake-up for the keepalive, the next one is a keepalive away.
    if (revents || idle)
        lastTraffic = now;
    if (rc == MOSQ_ERR_SUCCESS && link != Link::Waiting)
        rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS && link != Link::Waiting)
        lost(rc, now);
}

void Bridge::lost(int rc, long long now)
{
    const Options &o = settings.options;
    if (link == Link::Up)
        log.say("lost the connection to " + o.host + ':' + std::to_string(o.port) + ": " + errorText(rc));
    else if (rc != MOSQ_ERR_CONN_REFUSED && rc != MOSQ_ERR_AUTH)
        log.once("connect " + std::to_string(rc), "cannot connect to " + o.host + ':' + std::to_string(o.port) + ": "
                     + errorText(rc) + "; trying again, less and less often");
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
    if (rc != 0) {
        // Refused: loop_read fails next, which schedules the retry.
        log.once("refused " + std::to_string(rc), "the broker at " + o.host + ':' + std::to_string(o.port)
                     + " refused the connection: " + mosquitto_connack_string(rc)
                     + (rc == 4 || rc == 5 ? " (check --username and --password-file)" : "")
                     + "; trying again, less and less often");
        return;
    }
    link = Link::Up;
    upSince = monotonicMs();
    log.forget("connect ");
    log.forget("refused ");
    log.say("connected to " + o.host + ':' + std::to_string(o.port) + " as " + topics.node());
    mosquitto_subscribe(mosq, nullptr, topics.commands().c_str(), 1);
    mosquitto_subscribe(mosq, nullptr, topics.group().c_str(), 1);
    // What the broker retained from an earlier run, for displays gone since.
    mosquitto_subscribe(mosq, nullptr, topics.discoveries().c_str(), 1);
    publish(topics.availability(), "online", true);
    for (auto &entry : panels)
        announce(entry.second);
    publishStates(true);
}

void Bridge::received(const mosquitto_message &message)
{
    const std::string topic = message.topic ? message.topic : "";
    const char *data = static_cast<const char *>(message.payload);
    const std::size_t size = message.payloadlen > 0 ? static_cast<std::size_t>(message.payloadlen) : 0;
    if (topic == topics.group()) {
        command(std::string(), data, size, topic);
        return;
    }
    const std::string stale = topics.discoveryObject(topic);
    if (!stale.empty()) {
        bool present = false;
        for (const auto &entry : panels)
            present = present || entry.second.panel.object == stale;
        // Retained from a run that had this display; it would show as
        // available for good.
        if (size > 0 && !present) {
            Known gone;
            gone.panel.object = stale;
            log.say("withdrawn: a display of an earlier run, gone since: " + stale);
            withdraw(gone);
        }
        return;
    }
    const std::string object = topics.commandObject(topic);
    for (const auto &entry : panels)
        if (!object.empty() && entry.second.panel.object == object) {
            command(entry.second.panel.place, data, size, topic);
            return;
        }
    log.once("no display " + object, "ignored a command on " + topic + ": no such display here");
}

} // namespace mqtt
