// The record file of remembered levels, as read from disk.

#include <string>

#include "control/values.h"
#include "fuzz.h"

namespace {

bool sameEntries(const control::Record &a, const control::Record &b)
{
    if (a.entries.size() != b.entries.size())
        return false;
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
        const control::Entry &x = a.entries[i], &y = b.entries[i];
        if (x.place != y.place || x.vendor != y.vendor || x.product != y.product || x.level != y.level
            || x.serial != y.serial || x.shown != y.shown || x.byIdle != y.byIdle)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const control::Record before{{{"sentinel", 1, 2, 3, 4}}};
    control::Record record = before;
    if (!control::parseRecord(std::string(reinterpret_cast<const char *>(data), size), &record)) {
        // A refused file leaves what the caller had.
        FUZZ_CHECK(sameEntries(record, before));
        return 0;
    }
    for (const control::Entry &e : record.entries) {
        FUZZ_CHECK(e.level >= 0 && e.level <= 100 && ::validPlace(e.place));
        // Who darkened a display is told only of one that is off; a level
        // of 0 is never lit.
        FUZZ_CHECK((!e.byIdle || e.shown == control::shownOff) && (e.level > 0 || e.shown != control::shownLit));
    }
    control::Record again;
    FUZZ_CHECK(control::parseRecord(control::formatRecord(record), &again) && sameEntries(again, record));
    return 0;
}
