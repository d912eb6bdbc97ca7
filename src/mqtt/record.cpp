// The record as the bridge writes it: each command's report and record
// write at once, the record's flush to disk at most once a second, when
// commands pause, so that the flush rarely delays one.

#include <algorithm>
#include <sstream>

#include <systemd/sd-event.h>

#include "bridge.h"
#include "clock.h"
#include "session.h"

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

} // namespace mqtt
