#ifndef IDLE_SCREEN_H
#define IDLE_SCREEN_H

// The selected displays as the control library sets them, and the record as
// the others change it.

#include <array>
#include <sstream>
#include <string>
#include <vector>

#include "displays.h"
#include "environment.h"
#include "fade.h"
#include "protocol.h"
#include "timing.h"

namespace idle {

class Screen
{
public:
    // env.err receives each distinct message once in a row: a display that
    // stays missing is not reported at every idle period.
    Screen(const ctl::Environment &env, const ctl::Selection &selection, int fadeMs);
    ~Screen();
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    // Dims (percent; never brighter than a display is) or turns off
    // (percent -1) with the fade, keeping the remembered levels; the
    // displays stay open for wake(). A status, or 128 + a signal that
    // stopped the fade.
    int darken(int percent);
    // The remembered level at once on the displays kept open, and only
    // that: the least between a touch and a lit screen. Once per darkening.
    void light();
    // light(), then the library's On, which records the level and ends any
    // fade in progress.
    int wake();
    // Opens the displays for a fast wake() when someone else darkened them.
    void keep();
    void forget();

    // Takes the record as it is now as known; true if it shows a selected
    // display dimmed or off, or no entry at all after a request that
    // succeeded (a display without a bus place is not recorded).
    bool remember(int status);
    // True when the record changed since remember(); *stage: what the
    // selected displays' entries show (lit if any is).
    bool changed(Stage *stage);

private:
    struct Shown {
        int lit = 0, dimmed = 0, off = 0;
    };
    std::string snapshot(Shown *shown) const;
    void open(std::ostringstream &messages);
    void pass(const std::ostringstream &messages);

    ctl::Environment env;
    ctl::Selection selection;
    int fadeMs;
    ctl::Scan kept;
    // The report of each kept display's remembered level, made beforehand.
    std::vector<std::array<unsigned char, reportSize>> reports;
    std::string known;
    std::string lastMessages;
};

} // namespace idle

#endif
