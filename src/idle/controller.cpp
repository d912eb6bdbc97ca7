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
    // Nothing is known yet, so a dark record counts as a change.
    recordChanged(now);
}

bool Controller::input(InputDevice &device, bool onlyReadable, long long now)
{
    // All such a device can send is someone's doing, so its being readable
    // is enough: the screen is lit before anything is read.
    if (onlyReadable)
        touched(device);
    if (onlyReadable && device.onlyPerson && timing.stage() != Stage::Lit && timing.input(now) == Change::Wake)
        wake(now);
    bool gone = false;
    if (Inputs::drain(device, &gone) && timing.input(now) == Change::Wake)
        wake(now);
    releaseFree(now);
    return !gone;
}

void Controller::touched(const InputDevice &device)
{
    if (!device.onlyPerson || timing.stage() == Stage::Lit || !screen.light())
        return;
    // A display whose driver runs as a program (uhid) gets the report only
    // once that program runs: let it, before the bookkeeping.
    sched_yield();
}

void Controller::added(InputDevice &device)
{
    log.debug("watching " + device.path);
    if (timing.stage() == Stage::Off && !screen.fading())
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
    if (!screen.changed(&stage))
        return;
    // Someone else set the screen: their level stands, the clock starts anew.
    log.debug(std::string("the record shows the screen ")
              + (stage == Stage::Lit ? "lit" : stage == Stage::Dimmed ? "dimmed" : "off") + ", set by another program");
    timing.adopt(stage, now);
    if (stage == Stage::Lit)
        screen.forget();
    else
        screen.keep();
    if (stage == Stage::Off)
        grabAll();
    else
        letGo(now);
}

void Controller::stop()
{
    screen.interrupt();
}

long long Controller::deadline() const
{
    if (screen.fading())
        return earliest(screen.due(), releasing ? holdUntil : -1);
    return earliest(timing.deadline(), releasing ? holdUntil : -1);
}

void Controller::darken(Change change, long long now)
{
    log.debug(change == Change::Dim ? "nobody there: dimming" : "nobody there: turning the screen off");
    fadeStatus = screen.darken(change == Change::Dim ? options.plan.dimPercent : -1, now);
    if (!screen.fading())
        darkened(fadeStatus);
}

void Controller::darkened(int status)
{
    // From when the dim is reached, after its fade and the record's write.
    const long long now = clock();
    if (!screen.remember(status)) {
        // Nothing went dark, or someone lit it during the fade.
        timing.adopt(Stage::Lit, now);
        screen.forget();
        return;
    }
    timing.adopt(timing.stage(), now);
    if (timing.stage() == Stage::Off)
        grabAll();
}

void Controller::wake(long long now)
{
    log.debug("someone is there: waking the screen");
    screen.wake(now);
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
