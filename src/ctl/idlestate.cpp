#include "ctl/idlestate.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>

#include <systemd/sd-bus.h>

#include "ctl/commands.h"

namespace ctl {

// brightness-ctl is the control library on a command line.
using namespace control;

namespace {

const char *const idleName = "org.brightness.Idle1";
const char *const idlePath = "/org/brightness/Idle1";
// A service that does not answer must not hold a script up.
const uint64_t callTimeoutUs = 3000000;

// The room's light as brightness-idle follows it.
struct RoomLight {
    double lux = -1;  // -1: no reading yet
    std::string curve;
};

// Every property, booleans as 0 or 1; false with the reason.
bool readIdle(std::map<std::string, unsigned> *values, RoomLight *room, std::string *why)
{
    sd_bus *bus = nullptr;
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        *why = std::string("no system bus (") + std::strerror(-r) + ")";
        return false;
    }
    sd_bus_set_method_call_timeout(bus, callTimeoutUs);
    r = sd_bus_call_method(bus, idleName, idlePath, "org.freedesktop.DBus.Properties", "GetAll", &error, &reply, "s",
                           idleName);
    if (r < 0) {
        if (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN)
            || sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER))
            *why = "not running (systemctl status brightness-idle)";
        else if (sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED))
            *why = "only root and group plugdev may read its state: sudo adduser $USER plugdev, then log in again";
        else
            *why = std::string("no answer (") + (error.message ? error.message : std::strerror(-r)) + ")";
    } else if ((r = sd_bus_message_enter_container(reply, 'a', "{sv}")) >= 0) {
        while ((r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
            const char *name = nullptr, *type = nullptr;
            char kind = 0;
            int b = 0;
            uint32_t u = 0;
            const char *text = nullptr;
            if ((r = sd_bus_message_read(reply, "s", &name)) < 0
                || (r = sd_bus_message_peek_type(reply, &kind, &type)) < 0)
                break;
            if (std::strcmp(type, "b") == 0 && (r = sd_bus_message_read(reply, "v", "b", &b)) > 0)
                (*values)[name] = b != 0;
            else if (std::strcmp(type, "u") == 0 && (r = sd_bus_message_read(reply, "v", "u", &u)) > 0)
                (*values)[name] = u;
            else if (std::strcmp(name, "Illuminance") == 0 && std::strcmp(type, "d") == 0)
                r = sd_bus_message_read(reply, "v", "d", &room->lux);
            else if (std::strcmp(name, "AmbientCurve") == 0 && std::strcmp(type, "s") == 0
                     && (r = sd_bus_message_read(reply, "v", "s", &text)) > 0)
                room->curve = text;
            else if ((r = sd_bus_message_skip(reply, "v")) < 0)
                break;
            if ((r = sd_bus_message_exit_container(reply)) < 0)
                break;
        }
        if (r < 0)
            *why = std::string("an answer not understood (") + std::strerror(-r) + ")";
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return why->empty();
}

std::string seconds(unsigned s)
{
    return s % 3600 == 0 ? std::to_string(s / 3600) + "h"
        : s % 60 == 0    ? std::to_string(s / 60) + "m"
                         : std::to_string(s) + "s";
}

// "after 5m without a touch: dim to 30%, off 5m later"
std::string stages(unsigned after, unsigned dim, unsigned offAfter)
{
    return "after " + seconds(after) + " without a touch: "
        + (dim == 0 ? std::string("off")
                    : "dim to " + std::to_string(dim) + "%"
                        + (offAfter == 0 ? ", never off" : ", off " + seconds(offAfter) + " later"));
}

void describe(std::map<std::string, unsigned> v, const RoomLight &room, std::ostream &out)
{
    out << "brightness-idle: running; the screen is "
        << (v["Idle"] ? "dimmed or off by it" : "not darkened by it") << "; ";
    std::string holds;
    for (const auto &h : {std::make_pair("StayAwake", "Home Assistant's stay awake"),
                          std::make_pair("Inhibited", "an idle inhibitor"), std::make_pair("Presence", "presence")})
        if (v[h.first])
            holds += (holds.empty() ? "" : ", ") + std::string(h.second);
    out << (holds.empty() ? "nothing keeps it awake" : "kept awake by " + holds) << '\n';
    out << "brightness-idle: by day " << stages(v["After"], v["DimLevel"], v["OffAfter"]);
    if (v["NightProfile"])
        out << "; at night " << stages(v["NightAfter"] ? v["NightAfter"] : v["After"], v["DimLevel"],
                                       v["NightOffAfter"] ? v["NightOffAfter"] : v["OffAfter"])
            << (v["NightLevel"] ? ", a wake brings at most " + std::to_string(v["NightLevel"]) + "%" : "")
            << "; " << (v["Night"] ? "night" : "day") << " now";
    out << '\n';
    if (!v["AmbientProfile"])
        return;
    char lux[32] = "no reading yet";
    if (room.lux >= 0)
        std::snprintf(lux, sizeof lux, room.lux >= 1e5 ? "%.0f lux" : "%.6g lux", room.lux);
    out << "brightness-idle: the room's light: " << lux << "; auto brightness "
        << (v["AutoBrightness"] ? "on" : "off") << ", the curve " << room.curve << '\n';
}

} // namespace

int commandStatusWithIdle(const Options &opts, const Environment &env)
{
    const int status = commandStatus(opts, env);
    std::map<std::string, unsigned> values;
    RoomLight room;
    std::string why;
    if (readIdle(&values, &room, &why))
        describe(values, room, *env.out);
    else
        *env.out << "brightness-idle: " << why << '\n';
    return status;
}

} // namespace ctl
