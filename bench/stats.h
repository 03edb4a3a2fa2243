#pragma once

#include <string>
#include <vector>

namespace bench {

// The percentile of samples (0..100), by linear interpolation between the two nearest ranks.
// Zero for no samples.
double percentile(std::vector<double> samples, double p);

// One figure's value over several runs: the median run, and the smallest and largest run as its
// spread. The machines these run on are shared and noisy, so a single run says little.
struct summary {
    double median = 0;
    double min = 0;
    double max = 0;
    std::vector<double> runs;
};

summary summarize(const std::vector<double>& runs);

}  // namespace bench
