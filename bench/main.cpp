// Benchmarks of the plugin's natives against the raw Boost primitives.
//
//   vantrel-bench [Google Benchmark flags]   every benchmark, one table
//   vantrel-bench --summary [options]        plugin and baseline side by side,
//                                            one line per metric
// Options: --rounds=R --population=N --sleepers=M --min-time=S --smoke
//          --kernel-futex-hash    keep the futex hash table the kernel chose
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/config.h"
#include "bench/fail.h"
#include "bench/futex_hash.h"
#include "bench/metrics.h"
#include "bench/population.h"
#include "bench/rig.h"
#include "bench/summary.h"

namespace {

bool takeValue(const char* arg, const char* name, std::string& value) {
    size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0 || arg[length] != '=') {
        return false;
    }
    value = arg + length + 1;
    return true;
}

// Takes our own options out of argv and leaves the rest to Google Benchmark.
bench::Config parseOptions(int& argc, char** argv) {
    bench::Config config;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        std::string value;
        const char* arg = argv[i];
        if (std::strcmp(arg, "--summary") == 0) {
            config.summary = true;
        } else if (std::strcmp(arg, "--smoke") == 0) {
            // Only proves that every benchmark runs; its figures mean nothing.
            config.rounds = 1;
            config.population = 100;
            config.sleepers = 50;
            config.minTime = 0.001;
            config.threadIterations = 5;
            config.windows = 1;
            config.windowSeconds = 0.002;
        } else if (std::strcmp(arg, "--kernel-futex-hash") == 0) {
            config.sizeFutexHash = false;
        } else if (takeValue(arg, "--rounds", value)) {
            config.rounds = std::atoi(value.c_str());
        } else if (takeValue(arg, "--population", value)) {
            config.population = std::strtoul(value.c_str(), nullptr, 10);
        } else if (takeValue(arg, "--sleepers", value)) {
            config.sleepers = std::strtoul(value.c_str(), nullptr, 10);
        } else if (takeValue(arg, "--min-time", value)) {
            config.minTime = std::atof(value.c_str());
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    if (config.rounds < 1 || config.population <= config.smallPopulation || config.sleepers < 1 ||
        config.minTime <= 0) {
        bench::fail(
            "--rounds, --sleepers and --min-time must be positive, and --population above " +
            std::to_string(config.smallPopulation));
    }
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Config config = parseOptions(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    bench::checkThreadRoom(config.population);
    size_t buckets = config.sizeFutexHash ? bench::sizeFutexHash(config.population) : 0;
    if (buckets > 0) {
        std::fprintf(stderr, "futex hash: %zu buckets of its own\n", buckets);
    } else {
        std::fprintf(stderr, "futex hash: the kernel's choice\n");
    }
    std::vector<std::string> faults;
    {
        bench::Rig rig;
        std::vector<bench::Metric> metrics = bench::registerMetrics(config);
        if (config.summary) {
            bench::runSummary(metrics, config);
        } else {
            benchmark::RunSpecifiedBenchmarks();
        }
        bench::population.resize(0);
        faults = rig.unload();
    }
    benchmark::Shutdown();
    for (const std::string& fault : faults) {
        std::fprintf(stderr, "vantrel-bench: host fault: %s\n", fault.c_str());
    }
    return faults.empty() ? 0 : 1;
}
