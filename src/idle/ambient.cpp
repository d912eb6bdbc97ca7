#include "idle/ambient.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace idle {

namespace {

const char *const standardText = "5:10%,50:35%,500:70%,5000:100%";
const double learnRadiusDecades = 0.25;

std::string formatLux(double lux)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6g", lux);
    return buffer;
}

// Lux as text() will write it.
double compact(double lux)
{
    return std::strtod(formatLux(lux).c_str(), nullptr);
}

bool refuse(std::string *why, const char *reason)
{
    *why = std::string("--ambient-curve: ") + reason;
    return false;
}

} // namespace

AmbientCurve::AmbientCurve()
{
    points_ = {{5, 10}, {50, 35}, {500, 70}, {5000, 100}};
}

bool AmbientCurve::parse(const std::string &text, AmbientCurve *out, std::string *why)
{
    const char *form = "give LUX:PERCENT points separated by commas, such as 5:10%,50:35%,500:70%,5000:100%";
    std::vector<Point> points;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = std::min(text.find(',', begin), text.size());
        const std::string item = text.substr(begin, comma - begin);
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos)
            return refuse(why, form);
        double lux = 0;
        const char *luxEnd = item.data() + colon;
        const auto luxRead = std::from_chars(item.data(), luxEnd, lux);
        if (colon == 0)
            return refuse(why, form);
        if (luxRead.ec != std::errc() || luxRead.ptr != luxEnd || !(lux > 0) || !std::isfinite(lux))
            return refuse(why, "lux must be a number above 0");
        std::string digits = item.substr(colon + 1);
        if (!digits.empty() && digits.back() == '%')
            digits.pop_back();
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
            return refuse(why, form);
        const int percent = std::stoi(digits);
        if (percent < 1 || percent > 100)
            return refuse(why, "the level must be from 1 to 100 %");
        points.push_back({compact(lux), percent});
        if (comma == text.size())
            break;
        begin = comma + 1;
    }
    if (points.size() < 2)
        return refuse(why, "give at least 2 points");
    for (std::size_t i = 1; i < points.size(); ++i) {
        if (!(points[i].lux > points[i - 1].lux))
            return refuse(why, "lux must grow from point to point");
        if (points[i].percent < points[i - 1].percent)
            return refuse(why, "the level must not fall as the light grows");
    }
    out->points_ = points;
    return true;
}

AmbientCurve AmbientCurve::standard()
{
    return AmbientCurve();
}

int AmbientCurve::level(double lux) const
{
    const Point &first = points_.front(), &last = points_.back();
    if (!(lux > first.lux))
        return first.percent;
    if (lux >= last.lux)
        return last.percent;
    std::size_t i = 1;
    while (points_[i].lux < lux)
        ++i;
    const Point &a = points_[i - 1], &b = points_[i];
    const double t = (std::log10(lux) - std::log10(a.lux)) / (std::log10(b.lux) - std::log10(a.lux));
    return int(std::lround(a.percent + t * (b.percent - a.percent)));
}

void AmbientCurve::learn(double lux, int percent)
{
    lux = compact(std::max(lux, AmbientFilter::minLux));
    percent = std::clamp(percent, 1, 100);
    const double at = std::log10(lux);
    auto distance = [at](const Point &p) { return std::fabs(std::log10(p.lux) - at); };

    std::vector<Point> kept;
    const Point *farthest = nullptr;
    for (const Point &p : points_) {
        if (distance(p) >= learnRadiusDecades)
            kept.push_back(p);
        else if (!farthest || distance(p) > distance(*farthest))
            farthest = &p;
    }
    if (kept.empty())
        kept.push_back(*farthest);

    std::vector<Point> next;
    bool placed = false;
    for (Point p : kept) {
        if (p.lux > lux && !placed) {
            next.push_back({lux, percent});
            placed = true;
        }
        p.percent = p.lux < lux ? std::min(p.percent, percent) : std::max(p.percent, percent);
        next.push_back(p);
    }
    if (!placed)
        next.push_back({lux, percent});
    points_ = next;
}

std::string AmbientCurve::text() const
{
    std::string out;
    for (const Point &p : points_) {
        if (!out.empty())
            out += ',';
        out += formatLux(p.lux) + ':' + std::to_string(p.percent) + '%';
    }
    return out;
}

void AmbientFilter::advance(double target, long long nowNs)
{
    const double dt = std::max(0.0, double(nowNs - lastNs_) / 1e9);
    const double tau = following_ ? followTauSeconds : tauSeconds;
    average_ += (1 - std::exp(-dt / tau)) * (target - average_);
    lastNs_ = std::max(lastNs_, nowNs);
}

bool AmbientFilter::sample(double lux, long long nowNs)
{
    newest_ = std::log10(std::clamp(std::isnan(lux) ? minLux : lux, minLux, maxLux));
    if (!known_) {
        known_ = true;
        average_ = anchor_ = newest_;
        lastNs_ = nowNs;
        return !held_;
    }
    advance(newest_, nowNs);
    if (!following_ && std::fabs(average_ - anchor_) > bandDecades)
        following_ = true;
    if (!following_)
        return false;
    following_ = std::fabs(average_ - newest_) >= settledDecades;
    // Settled: the level lands on the light itself, not a hair short of it.
    if (!following_)
        average_ = newest_;
    anchor_ = average_;
    return true;
}

double AmbientFilter::lux() const
{
    return known_ ? std::pow(10.0, average_) : 0;
}

void AmbientFilter::hold(long long nowNs)
{
    held_ = true;
    following_ = false;
    if (!known_)
        return;
    // The person saw the room as it is now, not as the average lags.
    average_ = anchor_ = newest_;
    lastNs_ = std::max(lastNs_, nowNs);
}

} // namespace idle
