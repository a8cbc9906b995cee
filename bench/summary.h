#pragma once

#include <vector>

#include "bench/config.h"
#include "bench/metric.h"

namespace bench {

// Measures every metric's plugin and baseline benchmarks side by side, round
// after round, and prints one line per metric: name, median ratio, goal, and
// ok or over. Details go to stderr.
void runSummary(const std::vector<Metric>& metrics, const Config& config);

}  // namespace bench
