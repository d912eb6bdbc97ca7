#include "idle/service.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/inotify.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include "control/clock.h"

namespace idle {

namespace {

const char *const busName = "org.brightness.Idle1";
const char *const objectPath = "/org/brightness/Idle1";
const char *const interfaceName = "org.brightness.Idle1";
const char *const logindName = "org.freedesktop.login1";
const char *const logindPath = "/org/freedesktop/login1";
const char *const logindManager = "org.freedesktop.login1.Manager";

// A lost bus is looked for again after this, twice as long each time up to
// the last: a restart of dbus is caught within a second, a bus that stays
// away costs a wake a minute where its socket cannot be watched. A socket
// that refuses (its daemon binds before it listens) is tried again soon,
// up to the few.
const unsigned firstRetryMs = 500;
const unsigned fewRetriesMs = 4000;
const unsigned lastRetryMs = 60000;
const char *const unavailable = "Home Assistant's idle controls and logind's idle inhibitors are not seen";

// Access is the bus policy's (root and group plugdev): sd-bus's own check
// would refuse brightness-mqtt, a user other than this one.
const uint64_t anyone = SD_BUS_VTABLE_UNPRIVILEGED;
const uint64_t emits = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;

// The names of the numbers, in the order of the table.
const char *const numbers[] = {"After", "OffAfter", "NightAfter", "NightOffAfter", "DimLevel", "NightLevel"};

// The system bus's socket as sd_bus_open_system finds it; "" for an address
// that is no socket path.
std::string busSocket()
{
    const char *given = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::string address = given ? given : "unix:path=/run/dbus/system_bus_socket";
    address = address.substr(0, address.find(';'));
    const std::string key = "unix:path=";
    if (address.compare(0, key.size(), key) != 0)
        return std::string();
    const std::string path = address.substr(key.size());
    return path.substr(0, path.find(','));
}

} // namespace

Service::Service(Controller &controller, control::Log &log, bool nightProfile, std::function<void()> changed)
    : controller(controller), log(log), nightProfile(nightProfile), changed(std::move(changed)),
      backoffMs(firstRetryMs), shown(controller.status())
{
    controller.onStatus([this] { statusChanged(); });
}

Service::~Service()
{
    controller.onStatus(nullptr);
    sd_event_source_disable_unref(retry);
    sd_event_source_disable_unref(socketWatch);
    sd_bus_flush_close_unref(bus);
}

void Service::open(sd_event *loop)
{
    event = loop;
    if (!connect())
        waitForBus();
}

bool Service::connect()
{
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        bus = nullptr;
        lastError = -r;
        if (!lost)
            log.warning(std::string("no system bus (") + std::strerror(-r) + "): " + unavailable
                        + "; waiting for it");
        lost = true;
        return false;
    }
    const char *step = "attaching to the loop";
    r = sd_bus_attach_event(bus, event, 0);
    if (r >= 0) {
        step = "the object";
        r = sd_bus_add_object_vtable(bus, nullptr, objectPath, interfaceName, vtable(), this);
    }
    if (r >= 0) {
        // Local: sd-bus tells of its own loss of the connection.
        step = "watching the connection";
        r = sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus.Local", nullptr, "org.freedesktop.DBus.Local",
                                "Disconnected", disconnected, this);
    }
    if (r >= 0) {
        step = "asking for the name";
        r = sd_bus_request_name_async(bus, nullptr, busName, 0, nameReply, this);
    }
    // logind's changes, then its (re)appearance, then the state now: the
    // bus handles them in this order, so no change falls in between.
    if (r >= 0) {
        step = "watching logind";
        r = sd_bus_match_signal_async(bus, nullptr, logindName, logindPath, "org.freedesktop.DBus.Properties",
                                      "PropertiesChanged", logindChanged, nullptr, this);
    }
    if (r >= 0)
        r = sd_bus_add_match_async(bus, nullptr,
                                   "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                   "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                                   "arg0='org.freedesktop.login1'",
                                   logindOwner, nullptr, this);
    if (r < 0) {
        log.warning(std::string("system bus, ") + step + ": " + std::strerror(-r) + ": " + unavailable);
        bus = sd_bus_flush_close_unref(bus);
        // Not the bus's absence: trying again would fail the same way.
        return true;
    }
    if (lost)
        log.info("the system bus is there again: Home Assistant's idle controls and logind's idle inhibitors are back");
    lost = false;
    backoffMs = firstRetryMs;
    socketWatch = sd_event_source_disable_unref(socketWatch);
    readInhibited();
    return true;
}

bool Service::watchBus()
{
    std::string path = busSocket();
    // The socket's directory; where that is not there yet, its parent, in
    // which the directory is made.
    for (int up = 0; up < 2 && path.size() > 1 && path[0] == '/'; ++up) {
        const std::size_t slash = path.rfind('/');
        const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
        awaited = path.substr(slash + 1);
        if (sd_event_add_inotify(event, &socketWatch, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR,
                                 onSocket, this) >= 0)
            return true;
        path = dir;
    }
    return false;
}

void Service::waitForBus()
{
    // Watched anew: the directory may have been made since.
    socketWatch = sd_event_source_disable_unref(socketWatch);
    if (!watchBus()) {
        retryLater();
        return;
    }
    // A socket made before the watch began is not seen by it.
    if (connect())
        return;
    if (lastError != ENOENT && backoffMs <= fewRetriesMs)
        retryLater();
}

int Service::onSocket(sd_event_source *, const inotify_event *e, void *data)
{
    Service *self = static_cast<Service *>(data);
    if ((e->mask & IN_Q_OVERFLOW) || (e->len > 0 && self->awaited == e->name)) {
        self->backoffMs = firstRetryMs;
        if (!self->retry)
            self->retryLater();
    }
    return 0;
}

void Service::retryLater()
{
    const int r = sd_event_add_time_relative(event, &retry, CLOCK_MONOTONIC, backoffMs * 1000ULL, 0, onRetry, this);
    if (r < 0) {
        log.warning(std::string("cannot wait to reach the system bus again: ") + std::strerror(-r));
        return;
    }
    sd_event_source_set_enabled(retry, SD_EVENT_ONESHOT);
    backoffMs = std::min(backoffMs * 2, lastRetryMs);
}

int Service::onRetry(sd_event_source *, uint64_t, void *data)
{
    Service *self = static_cast<Service *>(data);
    self->retry = sd_event_source_disable_unref(self->retry);
    // The connection that closed is let go here, outside its own callback.
    self->bus = sd_bus_flush_close_unref(self->bus);
    if (!self->connect())
        self->waitForBus();
    return 0;
}

void Service::statusChanged()
{
    const IdleStatus now = controller.status();
    std::vector<const char *> names;
    const auto changedFlag = [&](const char *name, bool was, bool is) {
        if (was != is)
            names.push_back(name);
    };
    changedFlag("Idle", shown.idle, now.idle);
    changedFlag("Night", shown.night, now.night);
    changedFlag("Inhibited", shown.keepers.inhibited, now.keepers.inhibited);
    changedFlag("Presence", shown.keepers.presence, now.keepers.presence);
    changedFlag("StayAwake", shown.keepers.stayAwake, now.keepers.stayAwake);
    for (const char *number : numbers)
        if (numberOf(shown.settings, number) != numberOf(now.settings, number))
            names.push_back(number);
    changedFlag("AutoBrightness", shown.settings.ambient, now.settings.ambient);
    if (shown.lux != now.lux)
        names.push_back("Illuminance");
    if (shown.curve != now.curve)
        names.push_back("AmbientCurve");
    shown = now;
    if (names.empty() || !bus)
        return;
    names.push_back(nullptr);
    // A lost connection is said by disconnected().
    sd_bus_emit_properties_changed_strv(bus, objectPath, interfaceName, const_cast<char **>(names.data()));
}

int Service::getBool(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply, void *data,
                     sd_bus_error *)
{
    const Service *self = static_cast<Service *>(data);
    const IdleStatus s = self->controller.status();
    const std::string p = property;
    const bool value = p == "Idle"        ? s.idle
                       : p == "Night"     ? s.night
                       : p == "Inhibited" ? s.keepers.inhibited
                       : p == "Presence"  ? s.keepers.presence
                       : p == "StayAwake" ? s.keepers.stayAwake
                                          : self->nightProfile;
    return sd_bus_message_append(reply, "b", int(value));
}

int Service::getNumber(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply, void *data,
                       sd_bus_error *)
{
    const Service *self = static_cast<Service *>(data);
    return sd_bus_message_append(reply, "u", numberOf(self->controller.status().settings, property));
}

int Service::setStayAwake(sd_bus *, const char *, const char *, const char *, sd_bus_message *value, void *data,
                          sd_bus_error *)
{
    Service *self = static_cast<Service *>(data);
    int on = 0;
    const int r = sd_bus_message_read(value, "b", &on);
    if (r < 0)
        return r;
    self->controller.keep(Controller::Keeper::StayAwake, on != 0, control::monotonicNs());
    self->changed();
    return 1;
}

int Service::setNumber(sd_bus *, const char *, const char *, const char *property, sd_bus_message *value,
                       void *data, sd_bus_error *error)
{
    Service *self = static_cast<Service *>(data);
    unsigned number = 0;
    const int r = sd_bus_message_read(value, "u", &number);
    if (r < 0)
        return r;
    Settings s = self->controller.status().settings;
    std::string why = "not writable";
    if (!applyNumber(&s, property, number) || !self->controller.configure(s, control::monotonicNs(), &why))
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "%s %u: %s", property, number, why.c_str());
    if (self->settingsSet)
        self->settingsSet(s);
    self->changed();
    return 1;
}

int Service::wake(sd_bus_message *call, void *data, sd_bus_error *)
{
    Service *self = static_cast<Service *>(data);
    self->controller.wakeRequest(control::monotonicNs());
    self->changed();
    return sd_bus_reply_method_return(call, "");
}

int Service::nameReply(sd_bus_message *reply, void *data, sd_bus_error *)
{
    Service *self = static_cast<Service *>(data);
    const sd_bus_error *e = sd_bus_message_get_error(reply);
    uint32_t code = 0;
    // A connection that closes fails every call in flight: said once, by
    // disconnected().
    if (!sd_bus_is_open(self->bus))
        return 0;
    if (e)
        self->log.warning(std::string("cannot own the bus name ") + busName + " (" + (e->message ? e->message : e->name)
                          + "): Home Assistant's idle controls are not offered");
    else if (sd_bus_message_read(reply, "u", &code) > 0 && code != 1 && code != 4)
        self->log.warning(std::string("another program owns the bus name ") + busName
                          + ": Home Assistant's idle controls are not offered");
    else
        self->log.debug(std::string("owning the bus name ") + busName);
    return 0;
}

void Service::readInhibited()
{
    // Asked of logind, never taken from a signal that anyone may send.
    const int r = sd_bus_call_method_async(bus, nullptr, logindName, logindPath, "org.freedesktop.DBus.Properties",
                                           "Get", inhibitedReply, this, "ss", logindManager, "BlockInhibited");
    if (r < 0)
        warnLogind(std::strerror(-r));
}

// systemd's src/login/logind-inhibit.c: inhibitor_start() and
// inhibitor_stop() both call bus_manager_send_inhibited_change(), which
// emits PropertiesChanged of BlockInhibited (DelayInhibited for delay locks)
// on /org/freedesktop/login1; src/login/logind-dbus.c declares
// BlockInhibited with SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE.
int Service::logindChanged(sd_bus_message *signal, void *data, sd_bus_error *)
{
    Service *self = static_cast<Service *>(data);
    const char *interface = nullptr;
    if (sd_bus_message_read(signal, "s", &interface) < 0 || std::strcmp(interface, logindManager) != 0)
        return 0;
    bool named = false;
    if (sd_bus_message_enter_container(signal, 'a', "{sv}") > 0) {
        while (sd_bus_message_enter_container(signal, 'e', "sv") > 0) {
            const char *name = nullptr;
            if (sd_bus_message_read(signal, "s", &name) < 0 || sd_bus_message_skip(signal, "v") < 0)
                return 0;
            named |= std::strcmp(name, "BlockInhibited") == 0;
            sd_bus_message_exit_container(signal);
        }
        sd_bus_message_exit_container(signal);
    }
    char **invalidated = nullptr;
    if (sd_bus_message_read_strv(signal, &invalidated) >= 0 && invalidated) {
        for (char **n = invalidated; *n; ++n) {
            named |= std::strcmp(*n, "BlockInhibited") == 0;
            free(*n);
        }
        free(invalidated);
    }
    if (named)
        self->readInhibited();
    return 0;
}

int Service::logindOwner(sd_bus_message *signal, void *data, sd_bus_error *)
{
    Service *self = static_cast<Service *>(data);
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &before, &after) < 0)
        return 0;
    if (*after) {
        self->log.debug("logind is there: reading its idle inhibitors");
        self->readInhibited();
    } else {
        // Its locks went with it; it restores them when it comes back.
        self->warnLogind("it went away");
        self->inhibited(false);
    }
    return 0;
}

int Service::inhibitedReply(sd_bus_message *reply, void *data, sd_bus_error *)
{
    Service *self = static_cast<Service *>(data);
    const char *what = nullptr;
    if (!sd_bus_is_open(self->bus))
        return 0;
    if (const sd_bus_error *e = sd_bus_message_get_error(reply)) {
        self->warnLogind(e->message ? e->message : e->name);
        self->inhibited(false);
    } else if (sd_bus_message_read(reply, "v", "s", &what) > 0) {
        self->logindWarned = false;
        // "shutdown:sleep:idle:...": what is blocked now.
        const std::string list = std::string(":") + what + ":";
        self->inhibited(list.find(":idle:") != std::string::npos);
    }
    return 0;
}

int Service::disconnected(sd_bus_message *, void *data, sd_bus_error *)
{
    Service *self = static_cast<Service *>(data);
    self->log.warning(std::string("the system bus closed the connection: ") + unavailable
                      + " until it is back");
    self->lost = true;
    // Nobody could say that the lock ended.
    self->inhibited(false);
    if (!self->retry)
        self->retryLater();
    return 0;
}

void Service::inhibited(bool held)
{
    if (controller.status().keepers.inhibited == held)
        return;
    log.info(held ? "an idle inhibitor is held through logind: the screen is kept awake"
                  : "no idle inhibitor is held any more");
    controller.keep(Controller::Keeper::Inhibitor, held, control::monotonicNs());
    changed();
}

void Service::warnLogind(const std::string &why)
{
    if (logindWarned)
        return;
    logindWarned = true;
    log.warning("logind's idle inhibitors are not seen (" + why + ")");
}

const sd_bus_vtable *Service::vtable()
{
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Idle", "b", getBool, 0, emits),
        SD_BUS_PROPERTY("Night", "b", getBool, 0, emits),
        SD_BUS_PROPERTY("NightProfile", "b", getBool, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Inhibited", "b", getBool, 0, emits),
        SD_BUS_PROPERTY("Presence", "b", getBool, 0, emits),
        SD_BUS_WRITABLE_PROPERTY("StayAwake", "b", getBool, setStayAwake, 0, emits | anyone),
        SD_BUS_WRITABLE_PROPERTY("After", "u", getNumber, setNumber, 0, emits | anyone),
        SD_BUS_WRITABLE_PROPERTY("OffAfter", "u", getNumber, setNumber, 0, emits | anyone),
        SD_BUS_WRITABLE_PROPERTY("NightAfter", "u", getNumber, setNumber, 0, emits | anyone),
        SD_BUS_WRITABLE_PROPERTY("NightOffAfter", "u", getNumber, setNumber, 0, emits | anyone),
        SD_BUS_PROPERTY("DimLevel", "u", getNumber, 0, emits),
        SD_BUS_WRITABLE_PROPERTY("NightLevel", "u", getNumber, setNumber, 0, emits | anyone),
        SD_BUS_METHOD("Wake", "", "", wake, anyone),
        SD_BUS_PROPERTY("AmbientProfile", "b", getAmbient, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_WRITABLE_PROPERTY("AutoBrightness", "b", getAmbient, setAutoBrightness, 0, emits | anyone),
        SD_BUS_PROPERTY("Illuminance", "d", getAmbient, 0, emits),
        SD_BUS_PROPERTY("AmbientCurve", "s", getAmbient, 0, emits),
        SD_BUS_METHOD("ReportIlluminance", "d", "", reportIlluminance, anyone),
        SD_BUS_VTABLE_END,
    };
    return table;
}

} // namespace idle
