#ifndef IDLE_AMBIENT_H
#define IDLE_AMBIENT_H

// The room's light as brightness-idle's level: a curve from lux to percent
// that learns from the levels people set, and a filter that decides when
// the light has changed enough to follow. Pure: samples and times are given.

#include <string>
#include <vector>

namespace idle {

// Lux to level, linear in log10(lux) between points and flat beyond the
// ends. Always at least 2 points, lux strictly growing and above 0, levels
// 1..100 and never falling as the light grows. Lux are kept to 6
// significant digits, as text() writes them, so that a saved curve reads
// back the same.
class AmbientCurve
{
public:
    // The standard curve.
    AmbientCurve();

    // "LUX:PERCENT,..." such as 5:10%,50:35%,500:70%,5000:100% (the % may
    // be left out; lux may have a fraction). False with a one-line reason,
    // *out untouched.
    static bool parse(const std::string &text, AmbientCurve *out, std::string *why);

    // For a panel indoors: 5:10%,50:35%,500:70%,5000:100%.
    static AmbientCurve standard();

    // The level in percent, rounded to the nearest; lux at or below 0 or
    // below the first point gives the first point's level.
    int level(double lux) const;

    // A person set percent (clamped to 1..100) while the room read lux
    // (taken as at least 0.01): afterwards level(lux) == percent. Points
    // within a quarter decade of lux give way to it; those left of it are
    // lowered to at most percent, those right of it raised to at least
    // percent; farther points are untouched. When every point lies within
    // the quarter decade, the farthest of them stays, so that 2 remain.
    void learn(double lux, int percent);

    // The form parse() reads.
    std::string text() const;

private:
    struct Point {
        double lux;
        int percent;
    };
    std::vector<Point> points_;
};

// Smoothing and hysteresis over lux samples, at monotonic times in
// nanoseconds. The level is set from the smoothed light at an anchor and
// stays until the smoothed light leaves the band around that anchor; then
// the filter follows the light on every sample until it has settled.
class AmbientFilter
{
public:
    // Time constant of the exponential moving average of log10(lux) while
    // the light stays within the band: a shadow of a few seconds at half
    // the light stays inside it.
    static constexpr double tauSeconds = 8.0;
    // Once the light has left the band, the change is a lasting one: the
    // average follows it faster, so that even six decades are crossed in
    // about 25 s.
    static constexpr double followTauSeconds = 4.0;
    // Hysteresis band, in decades of lux (0.1: about 26 %).
    static constexpr double bandDecades = 0.1;
    // Following ends once the smoothed light is this close to the newest
    // sample, in decades (about 5 %); the last level followed is the
    // newest sample's own.
    static constexpr double settledDecades = 0.02;
    // Readings are taken within these bounds (0 or less as the dark).
    static constexpr double minLux = 0.01;
    static constexpr double maxLux = 1e6;

    // Feeds one sample; true when the level should now be set from lux().
    // The first sample is true, unless hold() came before it.
    bool sample(double lux, long long nowNs);

    // The smoothed light; 0 before any sample.
    double lux() const;
    bool known() const { return known_; }

    // A person just set the level while the room read the newest sample:
    // following stops, and the level holds until the smoothed light moves a
    // band away from that sample. Before any sample: the first sample
    // anchors without being followed.
    void hold(long long nowNs);

private:
    bool known_ = false;
    bool held_ = false;
    bool following_ = false;
    double average_ = 0;  // log10(lux)
    double newest_ = 0;   // log10(lux) of the newest sample
    double anchor_ = 0;   // log10(lux)
    long long lastNs_ = 0;

    void advance(double target, long long nowNs);
};

} // namespace idle

#endif
