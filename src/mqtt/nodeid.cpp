#include "mqtt/nodeid.h"

#include <cstring>

#include <systemd/sd-id128.h>

namespace mqtt {

bool machineNodeId(std::string *id, std::string *why)
{
    // This program's own application id, so that its derived id tells
    // nothing about the machine id or other programs' derived ids.
    const sd_id128_t app = SD_ID128_MAKE(5c, 0d, 0b, 3e, 6a, 1f, 4c, 28, 9b, 7e, 22, d4, 81, 9a, 6f, 13);
    sd_id128_t derived;
    const int r = sd_id128_get_machine_app_specific(app, &derived);
    if (r < 0) {
        *why = std::string("cannot derive an id from /etc/machine-id: ") + std::strerror(-r)
            + " (or give --node-id)";
        return false;
    }
    char text[SD_ID128_STRING_MAX];
    *id = std::string("brightness_") + std::string(sd_id128_to_string(derived, text), 12);
    return true;
}

} // namespace mqtt
