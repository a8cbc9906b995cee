#pragma once

#include <cstddef>

namespace bench {

// Sizes and durations of one run; --smoke shrinks them all.
struct Config {
    bool summary = false;
    int rounds = 11;
    // Live threads, and held locks, of the scaling metrics: on the 32-bit
    // server, near its ceiling of 2,048 workers.
    size_t population = sizeof(void*) == 4 ? 2000 : 10000;
    // The smaller population the scaling metrics compare against.
    size_t smallPopulation = 10;
    // Sleepers whose memory is measured.
    size_t sleepers = 1000;
    // Seconds each timed benchmark runs at least.
    double minTime = 0.1;
    // Threads started and destroyed per run of the benchmarks that start one
    // per iteration.
    long threadIterations = 500;
    // Loop-rate windows per run, and their length.
    long windows = 4;
    double windowSeconds = 0.025;
    // See sizeFutexHash.
    bool sizeFutexHash = true;
};

}  // namespace bench
