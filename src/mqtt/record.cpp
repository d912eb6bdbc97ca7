// The record's changes, whoever made them, published at a pace that gives
// Home Assistant two states per fade, not one per step.

#include <algorithm>
#include <sstream>

#include "mqtt/bridge.h"
#include "control/clock.h"
#include "mqtt/control.h"
#include "control/store.h"

namespace mqtt {

long long Bridge::paceStates(long long now)
{
    control::Record record;
    std::string why;
    if (!control::Store(settings.env.stateDir).read(&record, &why)) {
        log.limited("record", control::Priority::Warning, "cannot read the record, states stay as they were: " + why,
                    control::monotonicNs());
        return 0;
    }
    log.reset("record");
    long long next = 0;
    for (auto &entry : panels) {
        Known &k = entry.second;
        // The bridge's own fade says its target and its end itself.
        if (commands.fading(k.panel.place))
            continue;
        const control::Display d{-1, -1, {k.panel.vendor, k.panel.product}, k.panel.place, k.panel.formerPlace};
        const control::Entry *e = control::entryOf(record, d);
        const PanelState state = panelStateOf(e);
        const std::string payload = statePayload(state);
        const unsigned long serial = e ? e->serial : 0;
        if (payload != k.seen) {
            k.seen = payload;
            k.seenAt = now;
        }
        if (payload == k.published)
            continue;
        // Every request bumps the serial; a fade's steps keep the one it
        // claimed.
        const bool step = !k.published.empty() && serial == k.serial;
        if (step && now < k.seenAt + stateQuietMs) {
            const long long at = k.seenAt + stateQuietMs;
            next = next ? std::min(next, at) : at;
            continue;
        }
        publishState(k, state, false);
        k.serial = serial;
    }
    return next;
}

} // namespace mqtt
