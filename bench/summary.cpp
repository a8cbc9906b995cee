#include "bench/summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/fail.h"

namespace bench {

namespace {

// Keeps the measured run of one benchmark and prints nothing.
class Collector : public benchmark::BenchmarkReporter {
  public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                run_ = run;
                found_ = true;
            }
        }
    }

    bool found() const { return found_; }
    const Run& run() const { return run_; }

  private:
    Run run_;
    bool found_ = false;
};

double measure(const std::string& benchmark, const Metric& metric) {
    Collector collector;
    // Registered names carry options after a slash, such as /real_time.
    benchmark::RunSpecifiedBenchmarks(&collector, "^" + benchmark + "(/|$)");
    if (!collector.found()) {
        fail("no benchmark named " + benchmark);
    }
    const auto& run = collector.run();
    if (run.error_occurred) {
        fail(benchmark + ": " + run.error_message);
    }
    if (metric.counter.empty()) {
        return run.GetAdjustedRealTime();
    }
    auto counter = run.counters.find(metric.counter);
    if (counter == run.counters.end()) {
        fail(benchmark + " reported no " + metric.counter);
    }
    return counter->second.value;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Samples {
    std::vector<double> plugin;
    std::vector<double> baseline;
    std::vector<double> ratios;
};

}  // namespace

void runSummary(const std::vector<Metric>& metrics, const Config& config) {
    std::vector<Samples> samples(metrics.size());
    for (int round = 0; round < config.rounds; ++round) {
        // Every other round runs the whole sequence backwards, so that neither
        // side of a pair always goes first and the population is still grown
        // and shrunk only once per round.
        bool backwards = round % 2 == 1;
        for (size_t k = 0; k < metrics.size(); ++k) {
            size_t i = backwards ? metrics.size() - 1 - k : k;
            const Metric& metric = metrics[i];
            double plugin;
            double baseline;
            if (backwards) {
                baseline = measure(metric.baseline, metric);
                plugin = measure(metric.plugin, metric);
            } else {
                plugin = measure(metric.plugin, metric);
                baseline = measure(metric.baseline, metric);
            }
            double ratio = metric.throughput ? baseline / plugin : plugin / baseline;
            samples[i].plugin.push_back(plugin);
            samples[i].baseline.push_back(baseline);
            samples[i].ratios.push_back(ratio);
            std::fprintf(stderr, "round %d/%d  %-16s %10.4g %10.4g  %.3f\n", round + 1,
                         config.rounds, metric.name.c_str(), plugin, baseline, ratio);
        }
    }
    std::fprintf(stderr, "\n%-16s %12s %12s  %s\n", "metric", "plugin", "baseline",
                 "(medians; ns per iteration unless named)");
    for (size_t i = 0; i < metrics.size(); ++i) {
        std::fprintf(stderr, "%-16s %12.4g %12.4g  %s\n", metrics[i].name.c_str(),
                     median(samples[i].plugin), median(samples[i].baseline),
                     metrics[i].counter.c_str());
    }
    std::fflush(stderr);
    for (size_t i = 0; i < metrics.size(); ++i) {
        // Judged as printed, so that a row never reads 1.25 over a goal of 1.25.
        double ratio = std::round(median(samples[i].ratios) * 100) / 100;
        std::printf("%s %.2f %g %s\n", metrics[i].name.c_str(), ratio, metrics[i].goal,
                    ratio <= metrics[i].goal ? "ok" : "over");
    }
    std::fflush(stdout);
}

}  // namespace bench
