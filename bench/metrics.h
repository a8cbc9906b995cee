// Each function registers one metric's two benchmarks with Google Benchmark
// and returns the metric that pairs them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/config.h"
#include "bench/metric.h"

namespace bench {

Metric onceRoundtrip(const Config& config);
Metric lockPair(const Config& config);
Metric lockPairParallel(const Config& config);
Metric tickIdle(const Config& config);
Metric destroySleeper(const Config& config);
Metric createStart(const Config& config);
Metric callbackBesideWorkers(const Config& config);
Metric lockAtPopulation(const Config& config);
Metric createAtPopulation(const Config& config);
Metric loopRate(const Config& config);
Metric sleeperMemory(const Config& config);
Metric stackReserve(const Config& config);

// Every metric, in the order the summary measures and prints them.
std::vector<Metric> registerMetrics(const Config& config);

// Runs the benchmark for the configured time, by the wall clock: the work
// it measures happens on other threads too.
benchmark::internal::Benchmark* timed(benchmark::internal::Benchmark* b, const Config& config);

// A metric whose two sides are timed the same way, registered as
// "<name>/plugin" and "<name>/boost".
template <typename Plugin, typename Baseline>
Metric timedPair(const std::string& name, double goal, Plugin plugin, Baseline baseline,
                 const Config& config) {
    Metric m{name, goal, name + "/plugin", name + "/boost", ""};
    timed(benchmark::RegisterBenchmark(m.plugin.c_str(), plugin), config);
    timed(benchmark::RegisterBenchmark(m.baseline.c_str(), baseline), config);
    return m;
}

// "create-at" and 10000 give "create-at-10k".
std::string scaledName(const std::string& stem, size_t count);

}  // namespace bench
