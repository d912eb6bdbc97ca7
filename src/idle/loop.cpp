#include "idle/loop.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/epoll.h>
#include <unistd.h>
#include <systemd/sd-event.h>

#include "control/clock.h"
#include "control/status.h"
#include "idle/summary.h"

namespace idle {

namespace {

// Both wait on the kernel's clock: a fade's step is never early, and a
// timer that fires in the same millisecond as another costs no extra wake.
const unsigned long long accuracyUs = 1000;

} // namespace

Loop::Loop(const Options &options, const control::Environment &env, control::Log &log)
    : log(log), stateDir(env.stateDir), controller(options, env, log, control::monotonicNs(), control::monotonicNs),
      service(controller, log, options.night.schedule.kind != NightSchedule::Kind::None, [this] { arm(); }),
      saved(env.stateDir, controller.status().settings), resetSettings(options.resetSettings),
      fadeMs(options.fadeMs), night(options.night.schedule), sysfsRoot(env.sysfsRoot)
{
}

Loop::~Loop()
{
    for (Watched &w : watched)
        sd_event_source_disable_unref(w.source);
    sd_event_source_disable_unref(timer);
    if (waiter >= 0)
        close(waiter);
}

bool Loop::start(std::string *why)
{
    waiter = epoll_create1(EPOLL_CLOEXEC);
    if (waiter < 0) {
        *why = std::string("epoll: ") + std::strerror(errno);
        return false;
    }
    if (!daemon.open([this] { controller.stop(); sd_event_exit(loop, 0); }, why))
        return false;
    loop = daemon.loop();
    // The night follows the wall clock, which a Pi without a clock of its
    // own sets only once the network is there.
    if (!daemon.watchClock([this] { controller.clockChanged(control::monotonicNs()); arm(); }, why))
        return false;
    int r = sd_event_add_time(loop, &timer, CLOCK_MONOTONIC, UINT64_MAX, accuracyUs, onTimer, this);
    if (r >= 0)
        r = sd_event_source_set_enabled(timer, SD_EVENT_OFF);
    if (r >= 0) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.ptr = nullptr;
        r = epoll_ctl(waiter, EPOLL_CTL_ADD, sd_event_get_fd(loop), &e) == 0 ? 0 : -errno;
    }
    if (r < 0) {
        *why = std::string("event loop: ") + std::strerror(-r);
        return false;
    }
    std::string problem;
    if (!record.open(loop, stateDir, [this] { controller.recordChanged(control::monotonicNs()); arm(); }, &problem))
        log.warning(problem + "; changes by others are not seen");
    // The monitor first, so that no device falls between it and the scan.
    if (!monitor.open(loop, "input", "event", [this](bool added, const std::string &node) { plugged(added, node); },
                      why))
        return false;
    for (const auto &refused : controller.devices().scan())
        log.warning("cannot read " + refused.first + ": " + std::strerror(refused.second)
                    + (refused.second == EACCES || refused.second == EPERM
                           ? " (a touch there wakes nothing: add the user to group 'input')"
                           : ""));
    for (InputDevice &d : controller.devices().devices())
        watch(d);
    keepSettings();
    log.info(controller.describe());
    log.info(summary(controller.status().settings, fadeMs, night, static_cast<long long>(std::time(nullptr))));
    if (controller.devices().devices().empty())
        log.warning("no input device to watch: the screen is not darkened until one appears");
    controller.begin(control::monotonicNs());
    if (controller.ambient()) {
        ambient = std::make_unique<AmbientSource>(sysfsRoot, log, [this](double lux, long long now) {
            controller.illuminance(lux, now);
            arm();
        });
        if (!ambient->open(loop, why))
            return false;
        service.onIlluminance([this](double lux) {
            ambient->external(lux);
            arm();
            return true;
        });
    }
    arm();
    service.open(loop);
    return true;
}

int Loop::run()
{
    daemon.ready();
    const int status = wait();
    daemon.stopping();
    return status;
}

int Loop::wait()
{
    // sd-event's own steps, with the wait in between made here.
    for (;;) {
        int r = sd_event_prepare(loop);
        if (r == 0) {
            epoll_event ready[16];
            const int n = epoll_wait(waiter, ready, 16, -1);
            if (n < 0 && errno != EINTR) {
                r = -errno;
            } else {
                for (int i = 0; i < n; ++i)
                    if (ready[i].data.ptr && ready[i].events == EPOLLIN)
                        controller.touched(*static_cast<Watched *>(ready[i].data.ptr)->device);
                r = sd_event_wait(loop, 0);
            }
        }
        if (r > 0)
            r = sd_event_dispatch(loop);
        if (r < 0) {
            // Nothing could be watched any more: better ended than blind.
            log.error(std::string("event loop: ") + std::strerror(-r));
            return control::Failure;
        }
        if (sd_event_get_state(loop) == SD_EVENT_FINISHED)
            return control::Ok;
    }
}

void Loop::keepSettings()
{
    std::string why;
    if (resetSettings) {
        if (saved.reset(&why))
            log.info("the settings set over the bus are dropped: the command line's hold");
        else
            log.warning(why);
    } else {
        std::vector<std::string> notes;
        const Settings s = saved.load(&notes);
        for (const std::string &note : notes)
            log.warning(note);
        if (s != controller.status().settings && controller.configure(s, control::monotonicNs(), &why))
            log.info("the settings set over the bus hold, from " + saved.path());
    }
    service.onSettings([this](const Settings &s) {
        std::string problem;
        if (!saved.save(s, &problem))
            log.warning(problem + ": the settings last until the program stops");
    });
}

void Loop::watch(InputDevice &device)
{
    watched.push_back({this, &device, nullptr});
    int r = sd_event_add_io(loop, &watched.back().source, device.fd, EPOLLIN, onInput, &watched.back());
    // A touch is what someone waits for: served before anything else ready.
    if (r >= 0)
        r = sd_event_source_set_priority(watched.back().source, SD_EVENT_PRIORITY_IMPORTANT);
    if (r >= 0 && device.onlyPerson) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.ptr = &watched.back();
        r = epoll_ctl(waiter, EPOLL_CTL_ADD, device.fd, &e) == 0 ? 0 : -errno;
    }
    if (r < 0) {
        // Unwatched, the device would never wake the screen: better closed
        // and said than kept in silence.
        log.warning(device.path + ": " + std::strerror(-r));
        sd_event_source_disable_unref(watched.back().source);
        watched.pop_back();
        controller.devices().remove(device.path);
        return;
    }
    controller.added(device);
}

void Loop::unwatch(const std::string &path)
{
    for (auto it = watched.begin(); it != watched.end(); ++it)
        if (it->device->path == path) {
            epoll_ctl(waiter, EPOLL_CTL_DEL, it->device->fd, nullptr);
            sd_event_source_disable_unref(it->source);
            watched.erase(it);
            break;
        }
    controller.removed(path, control::monotonicNs());
}

void Loop::plugged(bool added, const std::string &node)
{
    if (!added) {
        unwatch(node);
        log.debug(node + " went away");
    } else {
        int error = 0;
        if (InputDevice *d = controller.devices().add(node, &error))
            watch(*d);
        else if (error)
            log.warning("cannot read " + node + ": " + std::strerror(error)
                        + (error == EACCES || error == EPERM ? " (add the user to group 'input')" : ""));
    }
    arm();
}

int Loop::onInput(sd_event_source *, int, unsigned revents, void *data)
{
    Watched *w = static_cast<Watched *>(data);
    Loop *self = w->loop;
    if (!self->controller.input(*w->device, revents == EPOLLIN, control::monotonicNs())) {
        self->log.debug(w->device->path + " is gone");
        self->unwatch(w->device->path);
    }
    self->arm();
    return 0;
}

int Loop::onTimer(sd_event_source *, std::uint64_t, void *data)
{
    Loop *self = static_cast<Loop *>(data);
    self->armed = -2;
    self->controller.timer(control::monotonicNs());
    self->arm();
    return 0;
}

void Loop::arm()
{
    const long long next = controller.deadline();
    if (next == armed)
        return;
    armed = next;
    if (next < 0) {
        sd_event_source_set_enabled(timer, SD_EVENT_OFF);
        return;
    }
    // Rounded up: never early.
    sd_event_source_set_time(timer, static_cast<unsigned long long>((next + 999) / 1000));
    sd_event_source_set_enabled(timer, SD_EVENT_ONESHOT);
}

} // namespace idle
