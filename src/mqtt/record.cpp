// The record as the bridge writes and reads it: each command's report and
// record write at once, the record's flush to disk at most once a second,
// when commands pause, so that the flush rarely delays one; its changes,
// whoever made them, published at a pace that gives Home Assistant two
// states per fade, not one per step.

#include <algorithm>
#include <sstream>

#include <systemd/sd-event.h>

#include "mqtt/bridge.h"
#include "control/clock.h"
#include "mqtt/control.h"
#include "control/session.h"
#include "control/store.h"

namespace mqtt {

void Bridge::scheduleSync()
{
    // Once commands pause, or a second after the first unflushed write,
    // whichever comes first; never within a second of the last flush.
    const long long now = monotonicMs();
    if (!syncDue)
        unsyncedSince = now;
    syncDue = true;
    const long long due = std::max(syncedAt + syncDelayMs, std::min(unsyncedSince + syncDelayMs, now + syncQuietMs));
    sd_event_source_set_time(syncTimer, static_cast<std::uint64_t>(due) * 1000);
    sd_event_source_set_enabled(syncTimer, SD_EVENT_ONESHOT);
}

int Bridge::onSync(sd_event_source *, std::uint64_t, void *self)
{
    static_cast<Bridge *>(self)->syncRecord();
    return 0;
}

void Bridge::syncRecord()
{
    syncDue = false;
    syncedAt = monotonicMs();
    sd_event_source_set_enabled(syncTimer, SD_EVENT_OFF);
    std::ostringstream messages;
    control::Environment quiet = settings.env;
    quiet.err = quiet.out = &messages;
    control::Session session(quiet);
    // Written again whole, flushed, renamed: what the commands wrote, and
    // whatever others wrote since, reaches the disk.
    if (session.open(/* fresh= */ false)) {
        session.rewrite();
        session.close(/* durable= */ true);
    }
    if (!session.why().empty())
        log.limited("sync", control::Priority::Warning, "cannot flush the record: " + session.why(),
                    control::monotonicNs());
}

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
        if (fades.count(k.panel.place))
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
