#ifndef IDLE_CONTROLLER_H
#define IDLE_CONTROLLER_H

// What brightness-idle does, without the loop around it: every call is one
// event (a device readable, the timer, the record changed, a device come or
// gone, a stop) at a given monotonic time, and deadline() says when the
// timer is next wanted. Nothing here waits, so that the tests replay any
// sequence of events with times of their choosing.

#include <functional>
#include <string>

#include "control/environment.h"
#include "idle/ambient.h"
#include "idle/inputs.h"
#include "control/log.h"
#include "idle/options.h"
#include "idle/screen.h"
#include "idle/settings.h"
#include "idle/timing.h"

namespace idle {

class Controller
{
public:
    // clock: the monotonic time now, for what counts from the end of a
    // request rather than from the event that started it.
    Controller(const Options &options, const control::Environment &env, control::Log &log, long long now,
               std::function<long long()> clock);

    // Takes what the record says as known. A screen that an earlier run
    // of this program left dimmed or off (killed, crashed) is given back.
    void begin(long long now);

    // A device became readable. onlyReadable: nothing but readable was
    // reported, so a device that only a person sets off has been touched.
    // False when the device went away and must be removed.
    bool input(InputDevice &device, bool onlyReadable, long long now);
    // A device that only a person sets off is readable, and nothing else
    // was reported of it: while the screen is dark, it is lit at once, before
    // anything is read or any other event is looked at. input() follows.
    void touched(const InputDevice &device);
    // A device to watch, grabbed at once while the screen is off.
    void added(InputDevice &device);
    void timer(long long now);
    void recordChanged(long long now);
    // A device is no longer watched.
    void removed(const std::string &path, long long now);
    // The wall clock was set (or the time zone changed): whether it is
    // night is asked anew.
    void clockChanged(long long now);
    // The wall clock, seconds since the epoch; time(nullptr) unless set.
    void setWallClock(std::function<long long()> wall) { wallClock = std::move(wall); }
    // The loop is about to end: a fade in progress ends between two
    // writes, and a screen this program darkened is given back lit.
    void stop();
    // Home Assistant's "wake": as a touch.
    void wakeRequest(long long now);
    // The room's light, in lux, with --ambient: a lit screen of this
    // program's follows it along the curve, slowly.
    void illuminance(double lux, long long now);
    bool ambient() const { return options.ambient.on; }
    // Home Assistant's "stay awake" switch; logind's idle inhibitor.
    enum class Keeper { StayAwake, Inhibitor };
    void keep(Keeper keeper, bool on, long long now);
    // New times and levels, from now on; false, with why, for values the
    // command line would refuse.
    bool configure(const Settings &settings, long long now, std::string *why);
    IdleStatus status() const;
    // Called once after any call that changed status().
    void onStatus(std::function<void()> changed) { statusChanged = std::move(changed); }

    // The displays and what is watched, for the line said at start.
    std::string describe();

    // When timer() is next wanted; -1: not until something happens.
    long long deadline() const;
    Stage stage() const { return timing.stage(); }
    Inputs &devices() { return inputs; }

private:
    void darken(Change change, long long now);
    void adoptRecord(Stage stage, bool byIdle, long long now);
    void darkened(int status);
    void wake(const control::Request &request, long long now);
    Shown shown() const;
    // What the arbiter says of an event, done.
    void act(Event event, long long now);
    void checkNight(long long now);
    Plan planNow() const;
    void replan();
    void finishFade(int status);
    bool presenceNow() const;
    void presence(bool before, long long now);
    void notify(const IdleStatus &before);
    // Someone else's dark screen: left as it is, not held, not woken.
    bool othersDark() const { return darkBy == Darkener::Other; }
    void grabAll();
    void letGo(long long now);
    void releaseFree(long long now);

    Options options;
    control::Log &log;
    std::function<long long()> clock;
    Timing timing;
    Screen screen;
    Inputs inputs;
    bool begun = false;        // begin() was called: devices now come later
    int fadeStatus = 0;        // of the darkening in progress
    // Who has the screen dark. Known in memory only: the record is anyone's
    // in group plugdev to write, and an "off" there must not make this
    // program take every touch.
    enum class Darkener { None, Here, Other } darkBy = Darkener::None;
    bool releasing = false;    // grabs go once nothing is held
    long long holdUntil = -1;
    Settings settings;
    Keepers keepers;
    std::function<void()> statusChanged;
    std::function<long long()> wallClock;
    bool night = false;
    bool nightShown = false;  // lit at the night level by this program
    long long nightDue = -1;  // monotonic: when night or day next begins
    // What the fade in progress is for.
    enum class FadeFor { Darken, Night, Day, Ambient } fadeFor = FadeFor::Darken;
    // --ambient: the curve as learned, kept beside the record.
    void learnLevel(long long now);
    void followLight(long long now);
    void showLux(long long now);
    void loadCurve();
    void saveCurve();
    AmbientCurve curve;
    std::string curveText;  // as status() shows it
    AmbientFilter filter;
    std::string curveFile;
    bool lightDue = false;   // the level is to follow the light
    double shownLux = -1;    // the room's light as status() shows it
    long long luxShownAt = 0;
};

} // namespace idle

#endif
