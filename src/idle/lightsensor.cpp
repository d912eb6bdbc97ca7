#include "idle/lightsensor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace idle {

namespace {

// An attribute's number is a few dozen characters; a longer text is none.
const std::size_t maxText = 64;

// The errors of a device that went away, rather than of its reading.
bool gone(int error)
{
    return error == ENOENT || error == ENODEV;
}

bool isFile(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The whole file, up to one character past maxText; false with errno.
bool readText(const std::string &path, std::string *text, int *error)
{
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        *error = errno;
        return false;
    }
    char buf[maxText + 1];
    std::size_t have = 0;
    *error = 0;
    while (have < sizeof buf) {
        const ssize_t got = ::read(file, buf + have, sizeof buf - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            *error = errno;
        if (got <= 0)
            break;
        have += static_cast<std::size_t>(got);
    }
    close(file);
    text->assign(buf, have);
    return *error == 0;
}

// As the kernel writes an IIO value: an optional sign, digits, an optional
// fraction, one newline. No exponent, no blanks, no "nan", whatever the
// locale.
bool parseNumber(std::string text, double *value)
{
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (text.size() > maxText)
        return false;
    std::size_t i = 0;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    const auto digits = [&](double *mantissa) {
        const std::size_t start = i;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            *mantissa = *mantissa * 10 + (text[i] - '0');
        return i - start;
    };
    double mantissa = 0, power = 1;
    if (digits(&mantissa) == 0)
        return false;
    if (i < text.size() && text[i] == '.') {
        ++i;
        const std::size_t fraction = digits(&mantissa);
        if (fraction == 0)
            return false;
        for (std::size_t k = 0; k < fraction; ++k)
            power *= 10;
    }
    if (i != text.size())
        return false;
    *value = (negative ? -mantissa : mantissa) / power;
    return true;
}

// *error: errno when the file could not be read, 0 otherwise.
bool readNumber(const std::string &path, double *value, int *error, std::string *why)
{
    std::string text;
    if (!readText(path, &text, error)) {
        *why = path + ": " + std::strerror(*error);
        return false;
    }
    if (!parseNumber(text, value)) {
        *why = path + ": not a number";
        return false;
    }
    return true;
}

// The first of the names that dir has as a file; empty for none.
std::string firstFile(const std::string &dir, std::initializer_list<std::string> names)
{
    for (const std::string &name : names)
        if (isFile(dir + '/' + name))
            return name;
    return {};
}

} // namespace

LightSensor::LightSensor(std::string sysfsRoot) : root(std::move(sysfsRoot)) {}

bool LightSensor::find(std::string *why)
{
    dir.clear();
    device.clear();
    name.clear();
    const std::string devices = root + "/bus/iio/devices";
    DIR *d = opendir(devices.c_str());
    if (!d) {
        *why = errno == ENOENT ? "no light sensor in " + devices : devices + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> entries;
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d);
        if (!e)
            break;
        if (std::strncmp(e->d_name, "iio:device", 10) == 0)
            entries.push_back(e->d_name);
    }
    // A device missed by a failed read could change the choice: none is made.
    const int error = errno;
    closedir(d);
    if (error) {
        *why = devices + ": " + std::strerror(error);
        return false;
    }
    // By number: iio:device2 before iio:device10.
    std::sort(entries.begin(), entries.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    for (const std::string &entry : entries) {
        const std::string at = devices + '/' + entry;
        // A processed channel is in lux already; only illuminance is lux
        // (in_illuminance_clear_raw and in_intensity_* are not).
        value = firstFile(at, {"in_illuminance_input", "in_illuminance0_input"});
        scale.clear();
        offset.clear();
        if (value.empty()) {
            for (const std::string prefix : {"in_illuminance", "in_illuminance0"}) {
                if (!isFile(at + '/' + prefix + "_raw"))
                    continue;
                value = prefix + "_raw";
                // An indexed channel's scale and offset may be shared by the type.
                scale = firstFile(at, {prefix + "_scale", "in_illuminance_scale"});
                offset = firstFile(at, {prefix + "_offset", "in_illuminance_offset"});
                break;
            }
        }
        if (value.empty())
            continue;
        dir = at;
        device = entry;
        // The name only adds to a message: without a readable one, none.
        int ignored;
        if (readText(at + "/name", &name, &ignored) && !name.empty() && name.back() == '\n')
            name.pop_back();
        if (ignored || std::any_of(name.begin(), name.end(), [](char c) { return c < ' ' || c > '~'; }))
            name.clear();
        return true;
    }
    *why = "no light sensor in " + devices;
    return false;
}

bool LightSensor::readChosen(double *lux, int *error, std::string *why) const
{
    double raw = 0, factor = 1, shift = 0;
    if (!readNumber(dir + '/' + value, &raw, error, why)
        || (!scale.empty() && !readNumber(dir + '/' + scale, &factor, error, why))
        || (!offset.empty() && !readNumber(dir + '/' + offset, &shift, error, why)))
        return false;
    // An offset may take a dark reading a little below zero; no room is darker.
    *lux = std::max(0.0, (raw + shift) * factor);
    return true;
}

bool LightSensor::read(double *lux, std::string *why)
{
    if (dir.empty() && !find(why))
        return false;
    int error = 0;
    if (readChosen(lux, &error, why))
        return true;
    if (!gone(error) || !find(why))
        return false;
    return readChosen(lux, &error, why);
}

std::string LightSensor::describe() const
{
    if (device.empty())
        return "no light sensor";
    return "light sensor " + device + (name.empty() ? "" : " (" + name + ")");
}

} // namespace idle
