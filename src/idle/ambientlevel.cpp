// The room's light in the arbiter: below a person's command, Home
// Assistant, inhibitors, presence and the timer, it only changes the level
// of a screen lit at its own level. The curve learns from the levels people
// set and is kept beside the record.

#include <algorithm>
#include <cerrno>
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
    const bool follow = filter.sample(lux, now);
    // Never a dark screen, a dim, the night's level, someone's dark
    // screen, or a fade under way.
    if (!follow || screen.fading() || shown() != Shown::Lit || darkBy != Darkener::None)
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
    if (!options.ambient.on || !filter.known())
        return;
    const int level = screen.litLevel();
    if (level <= 0)
        return;
    curve.learn(filter.lux(), level);
    // The person's level holds until the room changes by more than the band.
    filter.hold(now);
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
