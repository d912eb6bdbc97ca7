#ifndef IDLE_LIGHTSENSOR_H
#define IDLE_LIGHTSENSOR_H

// The room's light, in lux, from the kernel's IIO ambient light sensor
// (an I2C one such as BH1750, TSL2591 or VEML7700, or a USB HID one bound by
// hid-sensor-als), as <sysfsRoot>/bus/iio/devices/iio:deviceN shows it.
// A read opens, reads and closes a few small attribute files: cheap, and it
// never blocks on anything but the driver's own reading.

#include <string>

namespace idle {

class LightSensor
{
public:
    explicit LightSensor(std::string sysfsRoot);

    // Chooses the first device, in the order of their numbers, with an
    // illuminance channel: in_illuminance[0]_input (lux), or
    // in_illuminance[0]_raw with its _scale (1 without) and _offset (0
    // without), lux = (raw + offset) × scale. False, with why, when there is
    // none or the directory cannot be read; nothing is chosen then.
    bool find(std::string *why);
    // The light now; never below 0. A device that is gone (unplugged,
    // unbound) is looked for again once, so a sensor plugged back under
    // another number is read. Chooses one first when none is.
    bool read(double *lux, std::string *why);

    // The chosen device's directory; empty when none is chosen.
    const std::string &path() const { return dir; }
    // "light sensor iio:device0 (bh1750)", the name when the device has one.
    std::string describe() const;

private:
    bool readChosen(double *lux, int *error, std::string *why) const;

    std::string root;
    std::string dir;
    std::string device;  // iio:deviceN
    std::string name;    // the driver's, empty when it gives none
    std::string value;   // file names in dir; scale and offset empty if absent
    std::string scale;
    std::string offset;
};

} // namespace idle

#endif
