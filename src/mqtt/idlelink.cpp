#include "mqtt/idlelink.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <systemd/sd-bus.h>

namespace mqtt {

const char idleBusName[] = "org.brightness.Idle1";

namespace {

const char objectPath[] = "/org/brightness/Idle1";
const char propertiesInterface[] = "org.freedesktop.DBus.Properties";

// The interface's properties and their D-Bus types; any other is ignored.
const std::map<std::string, char> &propertyTypes()
{
    static const std::map<std::string, char> types = {
        {"Idle", 'b'}, {"Night", 'b'}, {"NightProfile", 'b'}, {"Inhibited", 'b'}, {"Presence", 'b'},
        {"StayAwake", 'b'}, {"After", 'u'}, {"OffAfter", 'u'}, {"NightAfter", 'u'}, {"NightOffAfter", 'u'},
        {"DimLevel", 'u'}, {"NightLevel", 'u'}, {"AmbientProfile", 'b'}, {"AutoBrightness", 'b'},
        {"Illuminance", 'd'}, {"AmbientCurve", 's'},
    };
    return types;
}

// Lux as Home Assistant shows them: as they come, no exponent; "" for
// none yet (below 0).
std::string luxText(double lux)
{
    if (!(lux >= 0))
        return std::string();
    char text[32];
    std::snprintf(text, sizeof text, lux >= 1e5 ? "%.0f" : "%.6g", lux);
    return text;
}

std::string errorOf(const sd_bus_message *m)
{
    const sd_bus_error *e = sd_bus_message_get_error(const_cast<sd_bus_message *>(m));
    return e && e->name ? e->name : "";
}

std::string messageOf(const sd_bus_message *m)
{
    const sd_bus_error *e = sd_bus_message_get_error(const_cast<sd_bus_message *>(m));
    return e && e->message ? e->message : "";
}

const std::uint64_t firstBackoffUs = 500000;
const std::uint64_t maxBackoffUs = 30000000;

} // namespace

IdleLink::IdleLink(Handlers handlers) : handlers(std::move(handlers))
{
}

IdleLink::~IdleLink()
{
    sd_event_source_disable_unref(retry);
    sd_bus_slot_unref(pending);
    // Pending replies are dropped with the bus, before the calls they name.
    sd_bus_flush_close_unref(bus);
}

bool IdleLink::open(sd_event *eventLoop, std::string *why)
{
    loop = eventLoop;
    if (connect(why))
        return true;
    retryLater();
    return false;
}

void IdleLink::retryLater()
{
    lost = true;
    backoffUs = backoffUs ? std::min(backoffUs * 2, maxBackoffUs) : firstBackoffUs;
    sd_event_source_disable_unref(retry);
    retry = nullptr;
    if (sd_event_add_time_relative(loop, &retry, CLOCK_MONOTONIC, backoffUs, 0, onRetry, this) < 0 && handlers.failed)
        handlers.failed("", "retry", "cannot set a timer to find the system bus again");
}

int IdleLink::onRetry(sd_event_source *, std::uint64_t, void *self)
{
    IdleLink *link = static_cast<IdleLink *>(self);
    link->retry = sd_event_source_disable_unref(link->retry);
    std::string why;
    if (!link->connect(&why))
        link->retryLater();
    return 0;
}

bool IdleLink::connect(std::string *why)
{
    // What the lost connection still held: its replies never come.
    pending = sd_bus_slot_unref(pending);
    bus = sd_bus_flush_close_unref(bus);
    calls.clear();
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_attach_event(bus, loop, SD_EVENT_PRIORITY_NORMAL);
    if (r < 0) {
        bus = sd_bus_flush_close_unref(bus);
        *why = std::string("cannot connect to the system bus: ") + std::strerror(-r);
        return false;
    }
    // The matches go out before the question, so that no change falls
    // between the answer and the first signal.
    const std::string owners = std::string("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                           "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='")
        + idleBusName + "'";
    const std::string changes = std::string("type='signal',sender='") + idleBusName + "',path='" + objectPath
        + "',interface='" + propertiesInterface + "',member='PropertiesChanged',arg0='" + idleBusName + "'";
    r = sd_bus_add_match_async(bus, nullptr, owners.c_str(), onOwnerChanged, nullptr, this);
    if (r >= 0)
        r = sd_bus_add_match_async(bus, nullptr, changes.c_str(), onPropertiesChanged, nullptr, this);
    if (r >= 0)
        r = sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus.Local", "/org/freedesktop/DBus/Local",
                                "org.freedesktop.DBus.Local", "Disconnected", onDisconnected, this);
    if (r >= 0)
        r = sd_bus_call_method_async(bus, &pending, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetNameOwner", onOwner, this, "s", idleBusName);
    if (r < 0) {
        bus = sd_bus_flush_close_unref(bus);
        *why = std::string("cannot follow ") + idleBusName + " on the system bus: " + std::strerror(-r);
        return false;
    }
    return true;
}

bool IdleLink::value(const std::string &property, std::uint32_t *v) const
{
    const auto it = values.find(property);
    if (!readable || it == values.end())
        return false;
    *v = it->second;
    return true;
}

bool IdleLink::text(const std::string &property, std::string *v) const
{
    const auto it = texts.find(property);
    if (!readable || it == texts.end())
        return false;
    *v = it->second;
    return true;
}

int IdleLink::onOwner(sd_bus_message *m, void *self, sd_bus_error *)
{
    IdleLink *link = static_cast<IdleLink *>(self);
    link->pending = sd_bus_slot_unref(link->pending);
    // Any answer, an error too: the bus is there.
    link->backoffUs = 0;
    if (link->lost) {
        link->lost = false;
        if (link->handlers.bus)
            link->handlers.bus(true);
    }
    const char *owner = nullptr;
    // An error (NameHasNoOwner): not there yet; its arrival is signalled.
    if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_read(m, "s", &owner) >= 0 && owner && *owner)
        link->appeared(owner);
    return 0;
}

int IdleLink::onOwnerChanged(sd_bus_message *m, void *self, sd_bus_error *)
{
    IdleLink *link = static_cast<IdleLink *>(self);
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || std::strcmp(name, idleBusName) != 0)
        return 0;
    if (*after)
        link->appeared(after);
    else
        link->gone();
    return 0;
}

void IdleLink::appeared(const std::string &newOwner)
{
    if (newOwner == owner)
        return;
    if (!owner.empty())
        gone();
    owner = newOwner;
    // The old owner's answer, if any, is no longer wanted.
    pending = sd_bus_slot_unref(pending);
    const int r = sd_bus_call_method_async(bus, &pending, owner.c_str(), objectPath, propertiesInterface, "GetAll",
                                           onGetAll, this, "s", idleBusName);
    if (r < 0 && handlers.failed)
        handlers.failed("", "GetAll", std::strerror(-r));
}

void IdleLink::gone()
{
    owner.clear();
    pending = sd_bus_slot_unref(pending);
    const bool was = readable;
    readable = false;
    values.clear();
    texts.clear();
    if (was && handlers.presence)
        handlers.presence();
}

int IdleLink::onGetAll(sd_bus_message *m, void *self, sd_bus_error *)
{
    IdleLink *link = static_cast<IdleLink *>(self);
    link->pending = sd_bus_slot_unref(link->pending);
    if (sd_bus_message_is_method_error(m, nullptr)) {
        // Most likely the bus's policy: this program's user is not allowed.
        if (link->handlers.failed)
            link->handlers.failed("", errorOf(m), messageOf(m));
        return 0;
    }
    link->values.clear();
    link->texts.clear();
    if (link->readProperties(m, true) < 0) {
        link->values.clear();
    link->texts.clear();
        if (link->handlers.failed)
            link->handlers.failed("", "GetAll", "a reply not of the interface's types");
        return 0;
    }
    link->readable = true;
    if (link->handlers.presence)
        link->handlers.presence();
    return 0;
}

int IdleLink::onPropertiesChanged(sd_bus_message *m, void *self, sd_bus_error *)
{
    IdleLink *link = static_cast<IdleLink *>(self);
    const char *sender = sd_bus_message_get_sender(m);
    const char *interface = nullptr;
    // Until the first read has answered, changes are in what it answers.
    if (!link->readable || !sender || link->owner != sender || sd_bus_message_read(m, "s", &interface) < 0)
        return 0;
    link->readProperties(m, false);
    return 0;
}

int IdleLink::readProperties(sd_bus_message *m, bool quiet)
{
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (r > 0) {
        r = sd_bus_message_enter_container(m, 'e', "sv");
        if (r <= 0)
            break;
        const char *name = nullptr;
        r = sd_bus_message_read(m, "s", &name);
        const auto known = r >= 0 ? propertyTypes().find(name) : propertyTypes().end();
        const char type[2] = {known != propertyTypes().end() ? known->second : '\0', '\0'};
        char kind = 0;
        const char *contents = nullptr;
        if (r >= 0)
            r = sd_bus_message_peek_type(m, &kind, &contents);
        if (r >= 0 && (type[0] == 'd' || type[0] == 's') && contents && std::strcmp(contents, type) == 0) {
            double lux = 0;
            const char *chars = nullptr;
            r = type[0] == 'd' ? sd_bus_message_read(m, "v", "d", &lux) : sd_bus_message_read(m, "v", "s", &chars);
            const std::string v = type[0] == 'd' ? luxText(lux) : std::string(chars ? chars : "");
            const auto old = texts.find(name);
            const bool differs = old == texts.end() || old->second != v;
            texts[name] = v;
            if (r >= 0 && differs && !quiet && handlers.changed)
                handlers.changed(name);
        } else if (r >= 0 && type[0] && contents && std::strcmp(contents, type) == 0) {
            std::uint32_t v = 0;
            int flag = 0;
            r = sd_bus_message_read(m, "v", type, type[0] == 'b' ? static_cast<void *>(&flag) : static_cast<void *>(&v));
            if (type[0] == 'b')
                v = flag ? 1 : 0;
            const auto old = values.find(name);
            const bool differs = old == values.end() || old->second != v;
            values[name] = v;
            if (r >= 0 && differs && !quiet && handlers.changed)
                handlers.changed(name);
        } else if (r >= 0) {
            r = sd_bus_message_skip(m, "v");
        }
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
        if (r >= 0)
            r = 1;
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

void IdleLink::set(const std::string &property, std::uint32_t value)
{
    call(propertiesInterface, "Set", property, value);
}

void IdleLink::wake()
{
    call(idleBusName, "Wake", std::string(), 0);
}

void IdleLink::reportIlluminance(double lux)
{
    const std::string what = "ReportIlluminance()";
    if (owner.empty()) {
        if (handlers.failed)
            handlers.failed(what, "absent", std::string(idleBusName) + " is not on the bus");
        return;
    }
    calls.push_back({this, what});
    const int r = sd_bus_call_method_async(bus, nullptr, owner.c_str(), objectPath, idleBusName, "ReportIlluminance",
                                           onReply, &calls.back(), "d", lux);
    if (r < 0) {
        calls.pop_back();
        if (handlers.failed)
            handlers.failed(what, "ReportIlluminance", std::strerror(-r));
    }
}

void IdleLink::call(const char *interface, const char *member, const std::string &property, std::uint32_t value)
{
    const auto type = propertyTypes().find(property);
    if (owner.empty() || (!property.empty() && type == propertyTypes().end())) {
        if (handlers.failed)
            handlers.failed(property, "absent", std::string(idleBusName) + " is not on the bus");
        return;
    }
    calls.push_back({this, property.empty() ? std::string(member) + "()" : property});
    Call *c = &calls.back();
    int r;
    if (property.empty()) {
        r = sd_bus_call_method_async(bus, nullptr, owner.c_str(), objectPath, interface, member, onReply, c, "");
    } else {
        const char variant[2] = {type->second, '\0'};
        r = type->second == 'b'
            ? sd_bus_call_method_async(bus, nullptr, owner.c_str(), objectPath, interface, member, onReply, c, "ssv",
                                       idleBusName, property.c_str(), variant, static_cast<int>(value != 0))
            : sd_bus_call_method_async(bus, nullptr, owner.c_str(), objectPath, interface, member, onReply, c, "ssv",
                                       idleBusName, property.c_str(), variant, value);
    }
    if (r < 0) {
        calls.pop_back();
        if (handlers.failed)
            handlers.failed(property, member, std::strerror(-r));
    }
}

int IdleLink::onReply(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    Call *c = static_cast<Call *>(userdata);
    IdleLink *link = c->link;
    const std::string property = c->property;
    for (auto it = link->calls.begin(); it != link->calls.end(); ++it)
        if (&*it == c) {
            link->calls.erase(it);
            break;
        }
    if (sd_bus_message_is_method_error(m, nullptr) && link->handlers.failed)
        link->handlers.failed(property, errorOf(m), messageOf(m));
    if (link->handlers.answered)
        link->handlers.answered();
    return 0;
}

int IdleLink::onDisconnected(sd_bus_message *, void *self, sd_bus_error *)
{
    IdleLink *link = static_cast<IdleLink *>(self);
    link->gone();
    // Once told; a connection that never answered is no news.
    if (!link->lost && link->handlers.bus)
        link->handlers.bus(false);
    link->retryLater();
    return 0;
}

} // namespace mqtt
