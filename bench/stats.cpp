#include "bench/stats.h"

#include <algorithm>
#include <cmath>

namespace bench {

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const double rank = p / 100.0 * static_cast<double>(samples.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(rank));
    const auto above = std::min(below + 1, samples.size() - 1);
    const double fraction = rank - static_cast<double>(below);
    return samples[below] + (samples[above] - samples[below]) * fraction;
}

summary summarize(const std::vector<double>& runs) {
    summary s;
    s.runs = runs;
    if (runs.empty()) {
        return s;
    }
    s.median = percentile(runs, 50);
    s.min = *std::min_element(runs.begin(), runs.end());
    s.max = *std::max_element(runs.begin(), runs.end());
    return s;
}

}  // namespace bench
