#include "controller.h"

#include <algorithm>
#include <vector>

#include <sched.h>

#include "status.h"

namespace idle {

namespace {

// After a wake, a grab lasts until every touch and key is up, and never
// longer than this: a device whose release got lost must not keep the
// input from everyone while the screen is lit.
const long long holdLimitNs = 10 * 1000000000LL;

long long earliest(long long a, long long b)
{
    return a < 0 ? b : b < 0 ? a : std::min(a, b);
}

} // namespace

Controller::Controller(const Options &options, const control::Environment &env, control::Log &log, long long now,
                       std::function<long long()> clock)
    : options(options), log(log), clock(std::move(clock)), timing(options.plan, now), screen(env, log, options.selection, options.fadeMs)
{
}

void Controller::begin(long long now)
{
    begun = true;
    Stage stage = Stage::Lit;
    bool byIdle = false;
    if (!screen.changed(&stage, &byIdle))
        return;
    if (stage != Stage::Lit && byIdle) {
        // Nobody is left to wake what an ended run of this program darkened.
        log.info("giving back the screen that an earlier run left "
                 + std::string(stage == Stage::Dimmed ? "dimmed" : "off"));
        screen.wake(now);
        screen.remember(control::Ok);
        return;
    }
    adoptRecord(stage, byIdle, now);
}

bool Controller::input(InputDevice &device, bool onlyReadable, long long now)
{
    // All such a device can send is someone's doing, so its being readable
    // is enough: the screen is lit before anything is read.
    if (onlyReadable)
        touched(device);
    bool gone = false;
    const bool someone = Inputs::drain(device, &gone) || (onlyReadable && device.onlyPerson);
    // Someone else's dark screen is theirs to light: swayidle and scripts
    // keep their own "on".
    if (someone && !othersDark() && timing.input(now) == Change::Wake)
        wake(now);
    releaseFree(now);
    return !gone;
}

void Controller::touched(const InputDevice &device)
{
    if (!device.onlyPerson || darkBy != Darkener::Here || !screen.light())
        return;
    // A display whose driver runs as a program (uhid) gets the report only
    // once that program runs: let it, before the bookkeeping.
    sched_yield();
}

void Controller::added(InputDevice &device)
{
    log.debug("watching " + device.path);
    if (inputs.devices().size() == 1 && begun) {
        // The first device there is: the quiet time counts from now.
        timing.adopt(Stage::Lit, clock());
        log.info(device.path + ": watched; the screen may now be darkened when nobody is there");
    }
    if (darkBy == Darkener::Here && timing.stage() == Stage::Off && !screen.fading())
        grabAll();
}

void Controller::timer(long long now)
{
    if (screen.fading()) {
        fadeStatus = control::worse(fadeStatus, screen.step(now));
        if (!screen.fading())
            darkened(fadeStatus);
    } else {
        const Change change = timing.expire(now);
        if (change != Change::None)
            darken(change, now);
    }
    releaseFree(now);
}

void Controller::recordChanged(long long now)
{
    // The fade's own writes; someone else's request ends it through the
    // record's serial, which its next step sees.
    if (screen.fading())
        return;
    Stage stage;
    bool byIdle = false;
    if (screen.changed(&stage, &byIdle))
        adoptRecord(stage, byIdle, now);
}

void Controller::adoptRecord(Stage stage, bool byIdle, long long now)
{
    // Still what this program left: a level changed while it is dark.
    if (darkBy == Darkener::Here && stage != Stage::Lit && byIdle)
        return;
    log.debug(std::string("the record shows the screen ")
              + (stage == Stage::Lit ? "lit" : stage == Stage::Dimmed ? "dimmed" : "off") + ", set by another program");
    timing.adopt(stage, now);
    screen.forget();
    if (stage == Stage::Lit) {
        darkBy = Darkener::None;
    } else {
        // Theirs, even a dim or an "off:idle" that this run did not make.
        darkBy = Darkener::Other;
    }
    letGo(now);
    releaseFree(now);
}

void Controller::stop()
{
    screen.interrupt();
    if (darkBy != Darkener::Here)
        return;
    // Nobody would be left to wake it.
    log.info("stopping: giving the screen back");
    screen.wake(clock());
    timing.adopt(Stage::Lit, clock());
    darkBy = Darkener::None;
}

std::string Controller::describe()
{
    const std::size_t n = inputs.devices().size();
    return screen.describe() + "; watching " + std::to_string(n) + " input device" + (n == 1 ? "" : "s");
}

long long Controller::deadline() const
{
    if (screen.fading())
        return earliest(screen.due(), releasing ? holdUntil : -1);
    // Nothing could wake a screen darkened now; someone else's dark screen
    // is theirs.
    if (inputs.empty() || othersDark())
        return releasing ? holdUntil : -1;
    return earliest(timing.deadline(), releasing ? holdUntil : -1);
}

void Controller::darken(Change change, long long now)
{
    log.debug(change == Change::Dim ? "nobody there: dimming" : "nobody there: turning the screen off");
    darkBy = Darkener::Here;
    fadeStatus = screen.darken(change == Change::Dim ? options.plan.dimPercent : -1, now);
    if (!screen.fading())
        darkened(fadeStatus);
}

void Controller::darkened(int status)
{
    // From when the dim is reached, after its fade and the record's write.
    const long long now = clock();
    if (!screen.reached() || !screen.remember(status)) {
        // Nothing went dark (a display gone, a write refused), or someone
        // lit it during the fade: the quiet time starts anew, nothing held.
        timing.adopt(Stage::Lit, now);
        screen.forget();
        darkBy = Darkener::None;
        return;
    }
    darkBy = Darkener::Here;
    timing.adopt(timing.stage(), now);
    if (timing.stage() == Stage::Off)
        grabAll();
}

void Controller::wake(long long now)
{
    log.debug("someone is there: waking the screen");
    screen.wake(now);
    darkBy = Darkener::None;
    letGo(now);
}

void Controller::grabAll()
{
    releasing = false;
    for (InputDevice &d : inputs.devices()) {
        std::string why;
        if (Inputs::grab(d, &why) || d.grabRefused)
            continue;
        d.grabRefused = true;
        log.warning(d.path + ": cannot hold it while the screen is off (" + why
                    + "): a touch there wakes the screen and also reaches the other programs");
    }
}

void Controller::letGo(long long now)
{
    const auto &all = inputs.devices();
    if (releasing || std::none_of(all.begin(), all.end(), [](const InputDevice &d) { return d.grabbed; }))
        return;
    releasing = true;
    holdUntil = now + holdLimitNs;
}

void Controller::releaseFree(long long now)
{
    if (!releasing)
        return;
    bool holding = false;
    for (InputDevice &d : inputs.devices()) {
        if (!d.grabbed)
            continue;
        if (now >= holdUntil || !Inputs::held(d))
            Inputs::release(d);
        else
            holding = true;
    }
    releasing = holding;
}

} // namespace idle

namespace idle {

void Controller::wakeRequest(long long now)
{
    if (!othersDark() && timing.input(now) == Change::Wake)
        wake(now);
}

void Controller::keep(Keeper keeper, bool on, long long now)
{
    (keeper == Keeper::StayAwake ? keepers.stayAwake : keepers.inhibited) = on;
    if (statusChanged)
        statusChanged();
    (void)now;
}

bool Controller::configure(const Settings &s, long long now, std::string *why)
{
    if (!validSettings(s, why))
        return false;
    settings = s;
    (void)now;
    if (statusChanged)
        statusChanged();
    return true;
}

IdleStatus Controller::status() const
{
    IdleStatus s;
    s.idle = darkBy == Darkener::Here && timing.stage() != Stage::Lit;
    s.keepers = keepers;
    s.settings = settings;
    return s;
}

} // namespace idle
