#ifndef BENCH_PERCENTILE_H
#define BENCH_PERCENTILE_H

// The one percentile of every benchmark's table: nearest rank, the smallest
// sample that at least p % of the samples do not exceed (p in (0, 100]; a
// median of an even count is the lower middle sample). NaN without samples.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

template <typename T>
double percentile(std::vector<T> samples, double p)
{
    if (samples.empty())
        return NAN;
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
    return static_cast<double>(samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1]);
}

#endif
