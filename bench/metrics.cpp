#include "bench/metrics.h"

namespace bench {

std::vector<Metric> registerMetrics(const Config& config) {
    // The metrics on a large population stand together, so that a round grows
    // and shrinks it once whichever way round it runs.
    std::vector<Metric> metrics = {
        onceRoundtrip(config),         lockPair(config),
        lockPairParallel(config),      tickIdle(config),
        destroySleeper(config),        lockAtPopulation(config),
        createAtPopulation(config),    loopRate(config),
        sleeperMemory(config),         createStart(config),
        callbackBesideWorkers(config),
    };
    // The address space each worker takes counts on the 32-bit server only.
    if (sizeof(void*) == 4) {
        metrics.push_back(stackReserve(config));
    }
    return metrics;
}

benchmark::internal::Benchmark* timed(benchmark::internal::Benchmark* b, const Config& config) {
    return b->UseRealTime()->MinTime(config.minTime);
}

std::string scaledName(const std::string& stem, size_t count) {
    if (count >= 1000 && count % 1000 == 0) {
        return stem + "-" + std::to_string(count / 1000) + "k";
    }
    return stem + "-" + std::to_string(count);
}

}  // namespace bench
