// brightness-ctl's value grammar: absolute, percent, relative and the floor.

#include <algorithm>
#include <string>

#include "control/values.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    control::Value value;
    if (control::parseValue(text, &value)) {
        const int limit = value.percent ? 100 : 10;
        FUZZ_CHECK(value.amount <= limit && value.amount >= (value.relative ? -limit : 0));
        control::Value again;
        FUZZ_CHECK(control::parseValue(control::formatValue(value), &again) && again.relative == value.relative
                   && again.percent == value.percent && again.amount == value.amount);
        // Remembered levels and floors at and beyond the edges.
        for (int current : {-1, 0, 1, 50, 99, 100, 101}) {
            for (int floor : {-1, 0, 5, 100, 101}) {
                const int level = control::targetLevel(value, current, floor);
                FUZZ_CHECK(level >= 0 && level <= 100);
                if (value.relative)
                    FUZZ_CHECK(level >= std::min(std::max(floor, 0), 100));
            }
        }
    }
    int floor = -1;
    if (control::parseFloor(text, &floor)) {
        int again = -1;
        FUZZ_CHECK(floor >= 0 && floor <= 100);
        FUZZ_CHECK(control::parseFloor(std::to_string(floor) + "%", &again) && again == floor);
    }
    return 0;
}
