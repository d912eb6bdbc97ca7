#ifndef MQTT_COMMANDS_H
#define MQTT_COMMANDS_H

// Commands for the lights, run on an sd-event loop: each taken command
// waits until nothing else is ready, so that a burst writes only its
// newest level; then runs as a fade of its own per display, which a newer
// command for that display ends; its record writes are flushed at most
// once a second, when commands pause.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "control/displays.h"
#include "control/environment.h"
#include "control/fade.h"
#include "control/log.h"
#include "mqtt/payload.h"

struct sd_event;
struct sd_event_source;

namespace mqtt {

class Commands
{
public:
    struct Handlers {
        // A fade begins on the display at place (or node): where it ends,
        // said as it begins.
        std::function<void(const std::string &place, const control::ScreenState &after)> begun;
        // A command is over on a display: its state is in the record.
        std::function<void()> ended;
    };

    Commands(const control::Environment &env, control::Log &log, Handlers handlers);
    ~Commands();
    Commands(const Commands &) = delete;
    Commands &operator=(const Commands &) = delete;

    bool open(sd_event *loop, std::string *why);
    // place: a display's, or "" for all of them. Replaces what was taken
    // for the same displays and has not run yet.
    void take(const std::string &place, const Command &command);
    // A fade of a command runs there.
    bool fading(const std::string &place) const { return fades.count(place) != 0; }
    // The fades end where they are, for good; the record is flushed.
    void stop();

private:
    // A command in progress on one display.
    struct Running {
        control::Scan scan;  // its descriptor, open until the fade is over
        std::unique_ptr<std::ostringstream> messages;  // the fade's
        std::unique_ptr<control::Fade> fade;
    };

    static int onPending(sd_event_source *source, void *self);
    static int onStep(sd_event_source *source, std::uint64_t usec, void *self);
    static int onSync(sd_event_source *source, std::uint64_t usec, void *self);
    void start(const std::string &place, const Command &command);
    void armStep();
    // say: tell that its state is in the record.
    void endFade(std::map<std::string, Running>::iterator it, bool say = true);
    void scheduleSync();
    void syncRecord();

    control::Environment env;
    control::Log &log;
    Handlers handlers;
    sd_event_source *later = nullptr;  // runs the pending commands
    sd_event_source *stepTimer = nullptr;
    std::map<std::string, Running> fades;  // by place
    // Commands taken but not yet run, by target ("" for all).
    std::vector<std::pair<std::string, Command>> pending;
    // Commands write the record without flushing it; this timer flushes
    // it within a second of the first such write, so that a flood costs at
    // most one fsync a second.
    sd_event_source *syncTimer = nullptr;
    bool syncDue = false;
    long long unsyncedSince = 0;  // ms: the first write not flushed yet
    long long syncedAt = -1000000;  // ms: the last flush
};

// The longest a command's record write stays in memory only, and the
// least time between two flushes.
const long long syncDelayMs = 1000;
// The pause in commands after which the record is flushed sooner.
const long long syncQuietMs = 200;

} // namespace mqtt

#endif
