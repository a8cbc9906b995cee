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
    uint64_t seed = 20240611;
    // Churn time in all, shared by the rounds, and a cap on operations.
    double seconds = 6.0;
    uint64_t maxOps = 400000;
    int rounds = 4;

    static Settings fromEnvironment() {
        Settings settings;
        if (const char* seed = std::getenv("VANTREL_STRESS_SEED")) {
            settings.seed = std::stoull(seed);
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
