#ifndef IDLE_SCREEN_H
#define IDLE_SCREEN_H

// The selected displays as the control library sets them, and the record as
// the others change it.

#include <array>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "control/displays.h"
#include "control/environment.h"
#include "control/fade.h"
#include "control/log.h"
#include "hid/protocol.h"
#include "control/screenstate.h"
#include "idle/timing.h"

namespace idle {

class Screen
{
public:
    // The library's messages go to log, limited by kind: a display that
    // stays missing is not reported at every idle period.
    Screen(const control::Environment &env, control::Log &log, const control::Selection &selection, int fadeMs);
    ~Screen();
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    // Starts to dim (percent; never brighter than a display is) or to turn
    // off (percent -1) with the fade, keeping the remembered levels; the
    // displays stay open for wake(). A status; step() goes on while
    // fading().
    int darken(int percent, long long now);
    // Starts to bring a dim of this program's back to the remembered level,
    // with the fade: the night's level at day.
    int undim(long long now);
    // Starts to bring a lit screen to percent with a fade of fadeMs, as a
    // level the record remembers; a display that is off stays off (only
    // its remembered level changes). A status; step() goes on while
    // fading().
    int setLevel(int percent, int fadeMs, long long now);
    // The remembered level of the first selected display the record shows
    // lit; -1 when none.
    int litLevel() const;
    // The request a wake carries out from now on (the arbiter's): the
    // reports made beforehand hold the level transition() gives for it.
    void wakeAs(const control::Request &request);
    bool fading() const { return fade && !fade->done(); }
    // When the fade's next step is due; -1 when none.
    long long due() const { return fade ? fade->due() : -1; }
    // The fade's step due by now; once it is over, its messages are passed
    // on. A Status.
    int step(long long now);
    // Ends a fade in progress: no further writes.
    void cancel();
    // Ends a fade in progress for good, its last level made durable.
    void interrupt();
    // The remembered level at once on the displays kept open, and only
    // that: the least between a touch and a lit screen. Once per darkening:
    // true when it wrote.
    bool light();
    // light(), then the library's wake with the same request, which
    // records the level and ends any fade in progress.
    int wake(long long now);
    void forget();
    // "display /dev/hidraw0 0483:5750 at PLACE", or that none is there now.
    std::string describe() const;

    // Takes the record as it is now as known; true if it shows a selected
    // display dimmed or off, or no entry at all after a request that
    // succeeded (a display without a bus place is not recorded).
    bool remember(int status);
    // True when the record changed since remember(); *stage: what the
    // selected displays' entries show (lit if any is); *byIdle: the dark
    // ones are idle's (dimmed, or "off:idle"), not a person's.
    bool changed(Stage *stage, bool *byIdle);
    // The last darkening wrote to a display: it reached the screen.
    bool reached() const { return darkReached; }
    // The last fade stopped short of its target on some display: another
    // request took over, or a write failed.
    bool cutShort() const { return fadeCutShort; }

private:
    struct Shown {
        int lit = 0, dimmed = 0, off = 0, offByIdle = 0;
        int litLevel = -1;  // the first lit entry's remembered level
    };
    std::string snapshot(Shown *shown) const;
    // darkening: what the caller is about to do to the displays, for the
    // reports to be made for the state it leaves.
    void open(std::ostringstream &messages, const control::Request &darkening);
    void prepare();
    void pass(const char *kind, const std::ostringstream &messages);
    void endFade();
    int startFade(const std::vector<control::Job> &jobs, long long now, int ms, bool stayOff = false);

    control::Environment env;
    control::Log &log;
    control::Selection selection;
    int fadeMs;
    control::Scan kept;
    // The report of each kept display's remembered level, made beforehand.
    std::vector<std::array<unsigned char, reportSize>> reports;
    std::vector<control::ScreenState> states;  // theirs once darkened
    // What light() wrote, by node, for wake() not to send it again.
    std::vector<std::pair<int, int>> lit;
    std::string known;
    std::ostringstream fadeMessages;
    control::Environment fadeEnv;  // env, with fadeMessages
    std::unique_ptr<control::Fade> fade;
    control::Request wakeRequest;
    bool darkReached = false;
    bool fadeCutShort = false;
};

} // namespace idle

#endif
