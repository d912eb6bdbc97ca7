#ifndef IDLE_LOOP_H
#define IDLE_LOOP_H

// brightness-idle's one loop, on sd-event: every input device, their
// hot-plug, the record, one timer and the stop signals are sources, each
// handled by the controller and none of them nested, so that nothing runs
// while nobody is there and a touch during a fade is served at once. The
// program waits in an epoll of its own over sd-event's descriptor and the
// input devices, so that a touch on a dark screen lights it as the wait
// returns, before sd-event's own bookkeeping.

#include <list>
#include <cstdint>
#include <string>

#include <memory>

#include "idle/ambientsource.h"
#include "idle/controller.h"
#include "idle/saved.h"
#include "idle/service.h"
#include "control/daemon.h"
#include "control/watch.h"

struct sd_event;
struct signalfd_siginfo;
struct sd_event_source;

namespace idle {

class Loop
{
public:
    Loop(const Options &options, const control::Environment &env, control::Log &log);
    ~Loop();
    Loop(const Loop &) = delete;
    Loop &operator=(const Loop &) = delete;

    // Opens the timer, the signals, the record's watch, udev's monitor and
    // the inputs.
    bool start(std::string *why);
    // Until SIGINT or SIGTERM; a Status. The service manager is told when
    // it begins and ends.
    int run();

private:
    struct Watched {
        Loop *loop;
        InputDevice *device;
        sd_event_source *source;
    };

    static int onInput(sd_event_source *source, int fd, unsigned revents, void *watched);
    static int onTimer(sd_event_source *source, std::uint64_t usec, void *self);
    void watch(InputDevice &device);
    void unwatch(const std::string &path);
    void plugged(bool added, const std::string &node);
    void arm();
    int wait();
    // The settings kept from the bus applied, or dropped; and kept anew
    // whenever the bus changes them.
    void keepSettings();

    control::Log &log;
    std::string stateDir;
    control::Daemon daemon;  // first made, last given back
    sd_event *loop = nullptr;  // the daemon's
    int waiter = -1;  // epoll: sd-event's descriptor and the input devices
    sd_event_source *timer = nullptr;
    control::RecordWatch record;
    control::DeviceMonitor monitor;
    Controller controller;
    Service service;  // on the system bus
    SavedSettings saved;
    bool resetSettings;
    int fadeMs;
    NightSchedule night;
    std::list<Watched> watched;
    std::string sysfsRoot;
    std::unique_ptr<AmbientSource> ambient;  // with --ambient
    long long armed = -2;
};

} // namespace idle

#endif
