// brightness-idle's D-Bus interface alone, for the bridge's tests: the
// properties, Wake() and Set with the command line's ranges, on the bus of
// DBUS_SYSTEM_BUS_ADDRESS. It prints "ready" once it owns the name, then
// each call it takes: "Wake", "Set After 120", "refused After 99999". A
// line "NAME VALUE" on standard input changes a property as brightness-idle
// would, with its signal.
//   idle_standin [NAME=VALUE...]   values other than the defaults;
//                                  Delay=MS: each Set answered MS later

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

const char name[] = "org.brightness.Idle1", path[] = "/org/brightness/Idle1";
sd_bus *bus;
unsigned delayMs = 0;
std::map<std::string, unsigned> values = {
    {"Idle", 0}, {"Night", 0}, {"NightProfile", 0}, {"Inhibited", 0}, {"Presence", 0}, {"StayAwake", 0},
    {"After", 300}, {"OffAfter", 0}, {"NightAfter", 0}, {"NightOffAfter", 0}, {"DimLevel", 0}, {"NightLevel", 0},
    {"AmbientProfile", 0}, {"AutoBrightness", 0}, {"Illuminance", 0}};
// Illuminance is a d, -1 while unknown: the value here is lux + 1.
const char curve[] = "5:10%,50:35%,500:70%,5000:100%";
// The command line's ranges; 0 where the interface lets it mean never,
// as by day or the remembered level.
const std::map<std::string, unsigned> highest = {{"StayAwake", 1}, {"AutoBrightness", 1}, {"After", 86400}, {"OffAfter", 86400},
                                                 {"NightAfter", 86400}, {"NightOffAfter", 86400}, {"NightLevel", 100}};

void change(const std::string &property, unsigned value)
{
    if (values[property] == value)
        return;
    values[property] = value;
    sd_bus_emit_properties_changed(bus, path, name, property.c_str(), nullptr);
}

// The times and levels are u, the rest b.
bool boolean(const char *property)
{
    return !std::strstr(property, "After") && !std::strstr(property, "Level");
}

int get(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply, void *, sd_bus_error *)
{
    if (std::strcmp(property, "Illuminance") == 0)
        return sd_bus_message_append(reply, "d", double(values[property]) - 1);
    if (std::strcmp(property, "AmbientCurve") == 0)
        return sd_bus_message_append(reply, "s", curve);
    return boolean(property) ? sd_bus_message_append(reply, "b", static_cast<int>(values[property]))
                             : sd_bus_message_append(reply, "u", values[property]);
}

int set(sd_bus *, const char *, const char *, const char *property, sd_bus_message *value, void *, sd_bus_error *error)
{
    unsigned v = 0;
    int flag = 0;
    const int r = boolean(property) ? sd_bus_message_read(value, "b", &flag) : sd_bus_message_read(value, "u", &v);
    if (r < 0)
        return r;
    v = boolean(property) ? unsigned(flag != 0) : v;
    if (v > highest.at(property) || (v == 0 && std::strcmp(property, "After") == 0)) {
        std::printf("refused %s %u\n", property, v);
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "%s must be within the command line's range", property);
    }
    // A slow answer, as from a loaded machine: the caller waits.
    usleep(delayMs * 1000);
    std::printf("Set %s %u\n", property, v);
    change(property, v);
    return 1;
}

int wake(sd_bus_message *m, void *, sd_bus_error *)
{
    std::printf("Wake\n");
    change("Idle", 0);
    return sd_bus_reply_method_return(m, "");
}

const unsigned emits = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;
const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Idle", "b", get, 0, emits),
    SD_BUS_PROPERTY("Night", "b", get, 0, emits),
    SD_BUS_PROPERTY("NightProfile", "b", get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Inhibited", "b", get, 0, emits),
    SD_BUS_PROPERTY("Presence", "b", get, 0, emits),
    SD_BUS_WRITABLE_PROPERTY("StayAwake", "b", get, set, 0, emits),
    SD_BUS_WRITABLE_PROPERTY("After", "u", get, set, 0, emits),
    SD_BUS_WRITABLE_PROPERTY("OffAfter", "u", get, set, 0, emits),
    SD_BUS_WRITABLE_PROPERTY("NightAfter", "u", get, set, 0, emits),
    SD_BUS_WRITABLE_PROPERTY("NightOffAfter", "u", get, set, 0, emits),
    SD_BUS_PROPERTY("DimLevel", "u", get, 0, emits),
    SD_BUS_WRITABLE_PROPERTY("NightLevel", "u", get, set, 0, emits),
    SD_BUS_METHOD("Wake", "", "", wake, 0),
    SD_BUS_PROPERTY("AmbientProfile", "b", get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_WRITABLE_PROPERTY("AutoBrightness", "b", get, set, 0, emits),
    SD_BUS_PROPERTY("Illuminance", "d", get, 0, emits),
    SD_BUS_PROPERTY("AmbientCurve", "s", get, 0, emits),
    SD_BUS_VTABLE_END,
};

int input(sd_event_source *source, int fd, unsigned, void *)
{
    static std::string pending;
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return sd_event_exit(sd_event_source_get_event(source), 0);
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        char property[64];
        unsigned v = 0;
        if (std::sscanf(pending.substr(0, end).c_str(), "%63s %u", property, &v) == 2 && values.count(property))
            change(property, v);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::size_t eq = arg.find('=');
        if (arg.rfind("Delay=", 0) == 0) {
            delayMs = static_cast<unsigned>(std::strtoul(arg.c_str() + 6, nullptr, 10));
            continue;
        }
        if (eq == std::string::npos || !values.count(arg.substr(0, eq)))
            return 2;
        values[arg.substr(0, eq)] = static_cast<unsigned>(std::strtoul(arg.c_str() + eq + 1, nullptr, 10));
    }
    sd_event *loop = nullptr;
    int r = sd_event_default(&loop);
    if (r >= 0)
        r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, nullptr, path, name, vtable, nullptr);
    if (r >= 0)
        r = sd_bus_request_name(bus, name, 0);
    if (r >= 0)
        r = sd_bus_attach_event(bus, loop, 0);
    if (r >= 0)
        r = sd_event_add_io(loop, nullptr, STDIN_FILENO, EPOLLIN, input, nullptr);
    if (r < 0) {
        std::fprintf(stderr, "idle_standin: %s\n", std::strerror(-r));
        return 1;
    }
    std::printf("ready\n");
    r = sd_event_loop(loop);
    sd_bus_flush_close_unref(bus);
    sd_event_unref(loop);
    return r < 0 ? 1 : 0;
}
