#include "mqtt/commands.h"

#include <algorithm>
#include <cstring>

#include <systemd/sd-event.h>

#include "control/clock.h"
#include "control/session.h"
#include "control/status.h"
#include "hid/sysfs.h"
#include "mqtt/connection.h"
#include "mqtt/control.h"

namespace mqtt {

Commands::Commands(const control::Environment &env, control::Log &log, Handlers handlers)
    : env(env), log(log), handlers(std::move(handlers))
{
}

Commands::~Commands()
{
    for (auto &f : fades)
        control::closeDisplays(&f.second.scan);
    sd_event_source_disable_unref(later);
    sd_event_source_disable_unref(stepTimer);
    sd_event_source_disable_unref(syncTimer);
}

bool Commands::open(sd_event *loop, std::string *why)
{
    int r = sd_event_add_defer(loop, &later, onPending, this);
    if (r >= 0)
        r = sd_event_source_set_priority(later, SD_EVENT_PRIORITY_IDLE);
    if (r >= 0)
        r = sd_event_source_set_enabled(later, SD_EVENT_OFF);
    if (r >= 0)
        r = sd_event_add_time(loop, &stepTimer, CLOCK_MONOTONIC, UINT64_MAX, 1000, onStep, this);
    if (r >= 0)
        r = sd_event_source_set_enabled(stepTimer, SD_EVENT_OFF);
    if (r >= 0)
        r = sd_event_add_time(loop, &syncTimer, CLOCK_MONOTONIC, UINT64_MAX, 1000, onSync, this);
    if (r >= 0)
        r = sd_event_source_set_enabled(syncTimer, SD_EVENT_OFF);
    if (r < 0)
        *why = std::string("event loop: ") + std::strerror(-r);
    return r >= 0;
}

void Commands::take(const std::string &place, const Command &command)
{
    for (auto it = pending.begin(); it != pending.end();)
        it = place.empty() || it->first == place ? pending.erase(it) : it + 1;
    pending.emplace_back(place, command);
    sd_event_source_set_enabled(later, SD_EVENT_ONESHOT);
}

void Commands::stop()
{
    pending.clear();
    for (auto &f : fades)
        f.second.fade->interrupt();
    while (!fades.empty())
        endFade(fades.begin());
    if (syncDue)
        syncRecord();
}

int Commands::onPending(sd_event_source *, void *self)
{
    Commands *c = static_cast<Commands *>(self);
    // In the order taken: each is the newest for the displays it covers.
    std::vector<std::pair<std::string, Command>> ready;
    ready.swap(c->pending);
    for (const auto &p : ready)
        c->start(p.first, p.second);
    return 0;
}

void Commands::start(const std::string &place, const Command &command)
{
    // The newer command has the last word on the displays it covers.
    for (auto it = fades.begin(); it != fades.end();) {
        auto next = std::next(it);
        if (place.empty() || it->first == place) {
            it->second.fade->cancel();
            endFade(it, false);
        }
        it = next;
    }
    std::ostringstream messages;
    control::Environment quiet = env;
    quiet.err = &messages;
    quiet.out = &messages;
    quiet.priorityPrefix = true;
    control::Selection selection;
    selection.place = place;
    control::Scan scan = control::findDisplays(quiet, selection);
    if (scan.usable.empty() && scan.refused.empty() && scan.status == control::Ok)
        // Unplugged between the command and now: nothing to do.
        control::say(quiet) << "no display found" << (place.empty() ? std::string() : " at " + place) << '\n';
    // Each command of a flood would say the same: once a minute per target.
    log.relayLimited("command " + place, control::Priority::Warning, messages.str(), control::monotonicNs());
    // One fade per display, so that a command for one of them later ends
    // only that display's.
    for (const control::Display &d : scan.usable) {
        Running r;
        r.scan.usable.push_back(d);
        r.messages = std::make_unique<std::ostringstream>();
        control::Environment fadeEnv = env;
        fadeEnv.err = fadeEnv.out = r.messages.get();
        fadeEnv.priorityPrefix = true;
        r.fade = std::make_unique<control::Fade>(fadeEnv, planFor(command));
        r.fade->start(jobsFor(command, d), control::monotonicNs());
        const std::string key = d.place.empty() ? hidrawPath(d.node) : d.place;
        if (!r.fade->done() && !r.fade->jobs().empty() && handlers.begun)
            handlers.begun(key, r.fade->jobs().front().after);
        endFade(fades.emplace(key, std::move(r)).first);
    }
    armStep();
}

int Commands::onStep(sd_event_source *, std::uint64_t, void *self)
{
    Commands *c = static_cast<Commands *>(self);
    const long long now = control::monotonicNs();
    for (auto it = c->fades.begin(); it != c->fades.end();) {
        auto next = std::next(it);
        it->second.fade->step(now);
        c->endFade(it);
        it = next;
    }
    c->armStep();
    return 0;
}

void Commands::armStep()
{
    long long due = -1;
    for (const auto &f : fades) {
        const long long d = f.second.fade->due();
        if (d >= 0 && (due < 0 || d < due))
            due = d;
    }
    if (due < 0) {
        sd_event_source_set_enabled(stepTimer, SD_EVENT_OFF);
        return;
    }
    sd_event_source_set_time(stepTimer, static_cast<std::uint64_t>((due + 999) / 1000));
    sd_event_source_set_enabled(stepTimer, SD_EVENT_ONESHOT);
}

void Commands::endFade(std::map<std::string, Running>::iterator it, bool say)
{
    if (!it->second.fade->done())
        return;
    log.relayLimited("fade " + it->first, control::Priority::Warning, it->second.messages->str(), control::monotonicNs());
    const std::vector<control::Job> &jobs = it->second.fade->jobs();
    // Its record writes were not flushed.
    if (std::any_of(jobs.begin(), jobs.end(), [](const control::Job &j) { return j.written >= 0 || j.recordOnly; }))
        scheduleSync();
    control::closeDisplays(&it->second.scan);
    fades.erase(it);
    // Where it ended, from the record: the same as the target unless it was
    // cut short.
    if (say && handlers.ended)
        handlers.ended();
}

void Commands::scheduleSync()
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

int Commands::onSync(sd_event_source *, std::uint64_t, void *self)
{
    static_cast<Commands *>(self)->syncRecord();
    return 0;
}

void Commands::syncRecord()
{
    syncDue = false;
    syncedAt = monotonicMs();
    sd_event_source_set_enabled(syncTimer, SD_EVENT_OFF);
    std::ostringstream messages;
    control::Environment quiet = env;
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
