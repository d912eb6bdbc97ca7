#include "mqtt/payload.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace mqtt {

namespace {

using nlohmann::json;

Fault readState(const json &v, bool *on)
{
    if (!v.is_string())
        return Fault::WrongType;
    const std::string &s = v.get_ref<const std::string &>();
    if (s != "ON" && s != "OFF")
        return Fault::OutOfRange;
    *on = s == "ON";
    return Fault::None;
}

Fault readBrightness(const json &v, int *level)
{
    // Whole numbers only: the scale is 100, so there is nothing to round.
    if (!v.is_number_integer())
        return Fault::WrongType;
    // Only a number written with a minus sign reads as signed: below 0,
    // or -0.
    if (v.is_number_unsigned() ? v.get<std::uint64_t>() > 100 : v.get<std::int64_t>() != 0)
        return Fault::OutOfRange;
    *level = static_cast<int>(v.get<std::int64_t>());
    return Fault::None;
}

Fault readTransition(const json &v, int *ms)
{
    if (!v.is_number())
        return Fault::WrongType;
    const double seconds = v.get<double>();
    // NaN fails both comparisons.
    if (!(seconds >= 0 && seconds <= maxTransitionMs / 1000.0))
        return Fault::OutOfRange;
    *ms = static_cast<int>(std::lround(seconds * 1000));
    return Fault::None;
}

Fault readFlash(const json &v)
{
    if (v.is_number())
        return Fault::None;
    if (!v.is_string())
        return Fault::WrongType;
    const std::string &s = v.get_ref<const std::string &>();
    return s == "short" || s == "long" ? Fault::None : Fault::OutOfRange;
}

} // namespace

Fault parseCommand(const char *data, std::size_t size, Command *command)
{
    if (size > maxPayload)
        return Fault::TooLarge;
    const json doc = json::parse(data, data + size, nullptr, false);
    if (doc.is_discarded())
        return Fault::NotJson;
    if (!doc.is_object())
        return Fault::NotObject;

    bool hasState = false, on = false, hasLevel = false;
    int level = 0, fadeMs = 0;
    for (const auto &item : doc.items()) {
        Fault f;
        if (item.key() == "state") {
            f = readState(item.value(), &on);
            hasState = true;
        } else if (item.key() == "brightness") {
            f = readBrightness(item.value(), &level);
            hasLevel = true;
        } else if (item.key() == "transition") {
            f = readTransition(item.value(), &fadeMs);
        } else if (item.key() == "flash") {
            f = readFlash(item.value());
        } else {
            f = Fault::UnknownKey;
        }
        if (f != Fault::None)
            return f;
    }
    if (!hasState && !hasLevel)
        return Fault::NoAction;
    if (hasState && !on && hasLevel)
        return Fault::Conflict;

    Command c;
    c.fadeMs = fadeMs;
    if (hasLevel && level > 0) {
        c.action = LightAction::Set;
        c.level = level;
    } else {
        c.action = hasLevel || !on ? LightAction::Off : LightAction::On;
    }
    *command = c;
    return Fault::None;
}

const char *faultText(Fault fault)
{
    switch (fault) {
    case Fault::None: return "accepted";
    case Fault::TooLarge: return "larger than 4096 bytes";
    case Fault::NotJson: return "not JSON";
    case Fault::NotObject: return "not a JSON object";
    case Fault::UnknownKey: return "a key other than state, brightness, transition and flash";
    case Fault::WrongType: return "a value of the wrong type";
    case Fault::OutOfRange: return "a value out of range (state ON or OFF, brightness 0 to 100, transition 0 to 6553, flash short or long)";
    case Fault::NoAction: return "neither state nor brightness";
    case Fault::Conflict: return "state OFF with a brightness";
    }
    return "unknown";
}

bool parseLux(const char *data, std::size_t size, double *lux)
{
    if (size == 0 || size > maxPayload)
        return false;
    const json v = json::parse(data, data + size, nullptr, false);
    json number;
    if (v.is_number()) {
        number = v;
    } else if (v.is_object()) {
        for (const char *key : {"illuminance_lux", "illuminance", "lux"})
            if (v.contains(key)) {
                number = v[key];
                break;
            }
    }
    if (!number.is_number())
        return false;
    const double value = number.get<double>();
    if (!std::isfinite(value) || value < 0)
        return false;
    *lux = value;
    return true;
}

} // namespace mqtt
