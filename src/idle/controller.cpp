#include "idle/controller.h"

#include <algorithm>
#include <ctime>
#include <vector>


#include "control/status.h"

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

Settings settingsOf(const Options &o)
{
    Settings s;
    s.afterNs = o.plan.afterNs;
    s.dimPercent = o.plan.dimPercent;
    s.offAfterNs = o.plan.offAfterNs;
    s.nightAfterNs = o.night.afterNs;
    s.nightOffAfterNs = o.night.offAfterNs;
    s.nightLevel = o.night.level;
    s.ambient = o.ambient.on ? 1 : 0;
    return s;
}

} // namespace

Controller::Controller(const Options &options, const control::Environment &env, control::Log &log, long long now,
                       std::function<long long()> clock)
    : options(options), log(log), clock(std::move(clock)), timing(options.plan, now),
      screen(env, log, options.selection, options.fadeMs), settings(settingsOf(options)),
      wallClock([] { return static_cast<long long>(std::time(nullptr)); }), curve(options.ambient.curve),
      curveFile(env.stateDir + "/ambient-curve")
{
    screen.wakeAs(touchWake(night, settings.nightLevel));
    if (options.ambient.on)
        loadCurve();
    curveText = options.ambient.on ? curve.text() : std::string();
}

void Controller::begin(long long now)
{
    const IdleStatus before = status();
    begun = true;
    keepers.presence = presenceNow();
    Stage stage = Stage::Lit;
    bool byIdle = false;
    if (screen.changed(&stage, &byIdle)) {
        if (stage != Stage::Lit && byIdle) {
            // Nobody is left to wake what an ended run of this program
            // darkened.
            log.info("giving back the screen that an earlier run left "
                     + std::string(stage == Stage::Dimmed ? "dimmed" : "off"));
            screen.wake(now);
            screen.remember(control::Ok);
        } else {
            adoptRecord(stage, byIdle, now);
        }
    }
    // Begun at night: a lit screen goes to the night's level.
    checkNight(now);
    notify(before);
}

bool Controller::input(InputDevice &device, bool onlyReadable, long long now)
{
    const IdleStatus before = status();
    // All such a device can send is someone's doing, so its being readable
    // is enough: the screen is lit before anything is read.
    if (onlyReadable)
        touched(device);
    bool gone = false;
    const bool someone = Inputs::drain(device, &gone) || (onlyReadable && device.onlyPerson);
    if (gone)
        device.down.clear();
    if (device.presence)
        presence(before.keepers.presence, now);
    else if (someone)
        act(Event::Touch, now);
    releaseFree(now);
    notify(before);
    return !gone;
}

void Controller::touched(const InputDevice &device)
{
    // Only a screen the timer darkened: the night's fade is no darkening.
    if (device.onlyPerson && darkBy == Darkener::Here && timing.stage() != Stage::Lit)
        screen.light();
}

void Controller::added(InputDevice &device)
{
    log.debug("watching " + device.path + (device.presence ? ", for presence" : ""));
    if (inputs.devices().size() == 1 && begun) {
        // The first device there is: the quiet time counts from now.
        timing.adopt(Stage::Lit, clock());
        log.info(device.path + ": watched; the screen may now be darkened when nobody is there");
    }
    if (darkBy == Darkener::Here && timing.stage() == Stage::Off && !screen.fading())
        grabAll();
    if (device.presence && begun) {
        const IdleStatus before = status();
        presence(before.keepers.presence, clock());
        notify(before);
    }
}

void Controller::removed(const std::string &path, long long now)
{
    const IdleStatus before = status();
    inputs.remove(path);
    presence(before.keepers.presence, now);
    notify(before);
}

void Controller::timer(long long now)
{
    const IdleStatus before = status();
    if (screen.fading()) {
        fadeStatus = control::worse(fadeStatus, screen.step(now));
        if (!screen.fading())
            finishFade(fadeStatus);
    } else if (nightDue >= 0 && now >= nightDue) {
        checkNight(now);
    } else if (!inputs.empty() && timing.deadline() >= 0 && now >= timing.deadline()) {
        const bool dims = timing.stage() == Stage::Lit && timing.currentPlan().dimPercent >= 0;
        const Verdict v = [&] { return arbitrate(dims ? Event::TimerDim : Event::TimerOff, shown(), keepers, night); }();
        if (v == Verdict::Dim || v == Verdict::Off)
            darken(timing.expire(now), now);
    }
    releaseFree(now);
    notify(before);
}

void Controller::recordChanged(long long now)
{
    // The fade's own writes; someone else's request ends it through the
    // record's serial, which its next step sees.
    if (screen.fading())
        return;
    const IdleStatus before = status();
    Stage stage;
    bool byIdle = false;
    if (screen.changed(&stage, &byIdle))
        adoptRecord(stage, byIdle, now);
    notify(before);
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
    nightShown = false;
    if (stage == Stage::Lit) {
        darkBy = Darkener::None;
        learnLevel(now);
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
    screen.wakeAs(idle::wakeRequest(Verdict::Light, settings.nightLevel));
    screen.wake(clock());
    timing.adopt(Stage::Lit, clock());
    darkBy = Darkener::None;
    nightShown = false;
}

std::string Controller::describe()
{
    const std::size_t n = inputs.devices().size();
    return screen.describe() + "; watching " + std::to_string(n) + " input device" + (n == 1 ? "" : "s");
}

long long Controller::deadline() const
{
    const long long held = releasing ? holdUntil : -1;
    if (screen.fading())
        return earliest(screen.due(), held);
    // Nothing could wake a screen darkened now.
    if (inputs.empty() || !quietTimeCounts(shown(), keepers))
        return earliest(nightDue, held);
    return earliest(earliest(timing.deadline(), nightDue), held);
}

void Controller::darken(Change change, long long now)
{
    log.debug(change == Change::Dim ? "nobody there: dimming" : "nobody there: turning the screen off");
    darkBy = Darkener::Here;
    fadeFor = FadeFor::Darken;
    fadeStatus = screen.darken(change == Change::Dim ? timing.currentPlan().dimPercent : -1, now);
    if (!screen.fading())
        darkened(fadeStatus);
}

void Controller::finishFade(int status)
{
    if (fadeFor == FadeFor::Darken) {
        darkened(status);
        return;
    }
    if (fadeFor == FadeFor::Ambient) {
        // Its writes are this program's, not a person's to learn from; a
        // person's command that ended it is, as any other.
        Stage stage = Stage::Lit;
        bool byIdle = false;
        if (screen.cutShort() && screen.changed(&stage, &byIdle)) {
            adoptRecord(stage, byIdle, clock());
            return;
        }
        screen.remember(status);
        screen.forget();
        return;
    }
    const bool kept = screen.reached() && screen.remember(status);
    // The night's dim stays this program's to end at day; anything else,
    // or a fade someone's request ended, leaves the screen to its record.
    nightShown = fadeFor == FadeFor::Night && kept;
    darkBy = nightShown ? Darkener::Here : Darkener::None;
    screen.forget();
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
        nightShown = false;
        return;
    }
    darkBy = Darkener::Here;
    timing.adopt(timing.stage(), now);
    if (timing.stage() == Stage::Off)
        grabAll();
}

void Controller::wake(const control::Request &request, long long now)
{
    const bool capped = request.value.amount > 0;
    log.debug(capped ? "someone is there: waking the screen at the night's level"
                     : "someone is there: waking the screen");
    screen.wakeAs(request);
    screen.wake(now);
    // A capped wake may leave a dim of this program's, which day ends.
    nightShown = capped;
    darkBy = nightShown ? Darkener::Here : Darkener::None;
    letGo(now);
}

void Controller::grabAll()
{
    releasing = false;
    for (InputDevice &d : inputs.devices()) {
        std::string why;
        if (d.presence || Inputs::grab(d, &why) || d.grabRefused)
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
