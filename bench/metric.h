#pragma once

#include <string>

namespace bench {

// One row of the summary: a plugin benchmark and its baseline, both
// registered with Google Benchmark under these names.
struct Metric {
    std::string name;
    // The ratio is plugin cost over baseline cost, lower is better; the goal
    // bounds it from above.
    double goal;
    std::string plugin;
    std::string baseline;
    // The user counter that holds the cost, or empty for real time per
    // iteration.
    std::string counter;
    // The counter counts work per second, so the ratio is baseline over plugin.
    bool throughput = false;
};

}  // namespace bench
