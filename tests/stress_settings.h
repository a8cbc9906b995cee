// The stress test's own knobs, read from its environment so that a failing
// run can be repeated with the seed it printed.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace stress {

struct Settings {
    // A fresh one each run unless given: every run explores new orders.
    uint64_t seed = 0;
    // Operations in all, shared by the rounds, so that a run covers as much
    // on a slow machine as on a fast one; the churn time in all caps a run
    // on a machine too slow for them.
    uint64_t maxOps = 100000;
    double seconds = 30.0;
    int rounds = 4;

    static Settings fromEnvironment() {
        Settings settings;
        if (const char* seed = std::getenv("VANTREL_STRESS_SEED")) {
            settings.seed = std::stoull(seed);
        } else {
            std::random_device entropy;
            settings.seed = (uint64_t{entropy()} << 32) | entropy();
        }
        if (const char* seconds = std::getenv("VANTREL_STRESS_SECONDS")) {
            settings.seconds = std::stod(seconds);
        }
        if (const char* ops = std::getenv("VANTREL_STRESS_OPS")) {
            settings.maxOps = std::stoull(ops);
        }
        return settings;
    }
};

// Independent, reproducible streams: one per actor and per call of a public.
inline std::mt19937_64 stream(uint64_t seed, uint64_t a, uint64_t b = 0, uint64_t c = 0) {
    std::seed_seq seq{seed, seed >> 32, a, b, c};
    return std::mt19937_64(seq);
}

}  // namespace stress
