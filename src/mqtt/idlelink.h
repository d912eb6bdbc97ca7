#ifndef MQTT_IDLELINK_H
#define MQTT_IDLELINK_H

// brightness-idle as seen from the system bus: whether it is there, its
// properties as it last said them, and calls to it. Nothing is polled: the
// bus tells when the name's owner changes and when a property does; the
// properties are read once, each time the name appears.

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

namespace mqtt {

class IdleLink
{
public:
    struct Handlers {
        // Known values arrived (all at once after the name appeared) or
        // the name went away (present() false).
        std::function<void()> presence;
        // One property's value changed.
        std::function<void(const std::string &property)> changed;
        // A Set or a call failed: the error's name and message.
        std::function<void(const std::string &property, const std::string &error, const std::string &message)> failed;
        // A call's answer came (after failed, if it failed).
        std::function<void()> answered;
        // The system bus was lost (false), or found again after a loss or a
        // failed start (true).
        std::function<void(bool connected)> bus;
    };

    explicit IdleLink(Handlers handlers);
    ~IdleLink();
    IdleLink(const IdleLink &) = delete;
    IdleLink &operator=(const IdleLink &) = delete;

    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) on the
    // loop and starts following the name. False, with why, with no bus; then,
    // as after a loss, it tries again after 0.5 s, less and less often.
    bool open(sd_event *loop, std::string *why);

    // The name has an owner whose properties have been read.
    bool present() const { return readable; }
    // A property's value (booleans as 0 and 1); false while unknown.
    bool value(const std::string &property, std::uint32_t *value) const;
    // A text or lux property's value, lux as shown ("" before the first
    // reading); false while unknown.
    bool text(const std::string &property, std::string *value) const;

    // Asynchronous; a failure comes through Handlers::failed.
    void set(const std::string &property, std::uint32_t value);
    void wake();
    // The room's light measured elsewhere, for brightness-idle to follow.
    void reportIlluminance(double lux);
    // Calls await their answer.
    bool busy() const { return !calls.empty(); }

private:
    struct Call {
        IdleLink *link;
        std::string property;  // "" for Wake
    };

    static int onOwnerChanged(sd_bus_message *m, void *self, sd_bus_error *error);
    static int onOwner(sd_bus_message *m, void *self, sd_bus_error *error);
    static int onPropertiesChanged(sd_bus_message *m, void *self, sd_bus_error *error);
    static int onGetAll(sd_bus_message *m, void *self, sd_bus_error *error);
    static int onReply(sd_bus_message *m, void *call, sd_bus_error *error);
    static int onDisconnected(sd_bus_message *m, void *self, sd_bus_error *error);
    static int onRetry(sd_event_source *source, std::uint64_t usec, void *self);
    bool connect(std::string *why);
    // Drops the bus (never from within its own callbacks) and tries again
    // after the backoff.
    void retryLater();
    void appeared(const std::string &owner);
    void gone();
    // Reads an a{sv} of properties; changed ones are told unless quiet.
    int readProperties(sd_bus_message *m, bool quiet);
    void call(const char *interface, const char *member, const std::string &property, std::uint32_t value);

    Handlers handlers;
    sd_event *loop = nullptr;
    sd_event_source *retry = nullptr;
    std::uint64_t backoffUs = 0;
    bool lost = false;  // a connection failed or was lost since the last answer
    sd_bus *bus = nullptr;
    sd_bus_slot *pending = nullptr;  // the owner's or the properties' read
    std::string owner;  // the name's unique owner, "" while none
    bool readable = false;
    std::map<std::string, std::uint32_t> values;
    std::map<std::string, std::string> texts;
    std::list<Call> calls;  // those awaiting their reply
};

extern const char idleBusName[];

} // namespace mqtt

#endif
