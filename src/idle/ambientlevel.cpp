// The room's light in the arbiter: below a person's command, Home
// Assistant, inhibitors, presence and the timer, it only changes the level
// of a screen lit at its own level. The curve learns from the levels people
// set and is kept beside the record.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <unistd.h>

#include "control/store.h"
#include "idle/controller.h"

namespace idle {

namespace {

// A change the light brings is a slow fade, never a jump.
const int ambientFadeMs = 3000;

// The room's light as shown: two significant digits.
double twoDigits(double lux)
{
    if (lux <= 0)
        return 0;
    const double unit = std::pow(10.0, std::floor(std::log10(lux)) - 1);
    return std::round(lux / unit) * unit;
}

const long long luxQuietNs = 60000000000LL;

std::string luxText(double lux)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", lux);
    return text;
}

} // namespace

void Controller::illuminance(double lux, long long now)
{
    if (!options.ambient.on)
        return;
    const IdleStatus before = status();
    // A change due while a fade runs is made at the next sample: the one
    // that settles on the light must not be lost.
    lightDue |= filter.sample(lux, now) && settings.ambient;
    showLux(now);
    if (lightDue && !screen.fading()) {
        lightDue = false;
        followLight(now);
    }
    notify(before);
}

void Controller::showLux(long long now)
{
    const double lux = twoDigits(filter.lux());
    if (lux == shownLux)
        return;
    // A step in the room is shown as it goes, the drift within the band
    // at most once a minute: Home Assistant records every value.
    const bool moved = shownLux <= 0 || lux <= 0
                       || std::fabs(std::log10(lux / shownLux)) >= AmbientFilter::bandDecades;
    if (!moved && now - luxShownAt < luxQuietNs)
        return;
    shownLux = lux;
    luxShownAt = now;
}

void Controller::followLight(long long now)
{
    // Never a dark screen, a dim, the night's level or someone's dark
    // screen.
    if (shown() != Shown::Lit || darkBy != Darkener::None)
        return;
    int level = curve.level(filter.lux());
    if (night && settings.nightLevel > 0)
        level = std::min(level, settings.nightLevel);
    const int was = screen.litLevel();
    // No display lit, or already there.
    if (was < 0 || was == level)
        return;
    log.debug("the room reads " + luxText(filter.lux()) + " lux: the level follows to " + std::to_string(level)
              + "%");
    fadeFor = FadeFor::Ambient;
    fadeStatus = screen.setLevel(level, ambientFadeMs, now);
    if (!screen.fading())
        finishFade(fadeStatus);
}

void Controller::learnLevel(long long now)
{
    // Whatever the light was about to bring, the person's level stands.
    lightDue = false;
    if (!options.ambient.on || !settings.ambient || !filter.known())
        return;
    const int level = screen.litLevel();
    if (level <= 0)
        return;
    // The person's level holds until the room changes by more than the band.
    filter.hold(now);
    curve.learn(filter.lux(), level);
    curveText = curve.text();
    log.info("learned " + std::to_string(level) + "% at " + luxText(filter.lux()) + " lux: " + curve.text());
    saveCurve();
}

void Controller::loadCurve()
{
    if (options.ambient.reset) {
        if (unlink(curveFile.c_str()) == 0)
            log.info("forgot the levels learned from people (" + curveFile + ")");
        else if (errno != ENOENT)
            log.warning("cannot remove " + curveFile + ": " + std::strerror(errno));
        return;
    }
    std::ifstream in(curveFile);
    if (!in)
        return;
    std::string text;
    std::getline(in, text);
    std::string why;
    AmbientCurve learned;
    if (AmbientCurve::parse(text, &learned, &why))
        curve = learned;
    else
        log.warning(curveFile + ": " + why + "; the command line's curve holds");
}

void Controller::saveCurve()
{
    std::string why;
    if (!control::replaceSmallFile(curveFile, curve.text() + "\n", &why))
        log.warning(why + "; what was learned holds until the program stops");
}

} // namespace idle
