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

struct Round {
    double plugin;
    double baseline;
    double ratio;
};

// The middle round by ratio (the lower of the two middle ones for an even
// count), with the costs measured in it.
Round medianRound(std::vector<Round> rounds) {
    std::sort(rounds.begin(), rounds.end(),
              [](const Round& a, const Round& b) { return a.ratio < b.ratio; });
    return rounds[(rounds.size() - 1) / 2];
}

double medianRatio(const std::vector<Round>& rounds) {
    std::vector<double> ratios;
    for (const Round& round : rounds) {
        ratios.push_back(round.ratio);
    }
    std::sort(ratios.begin(), ratios.end());
    size_t n = ratios.size();
    return n % 2 == 1 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
}

}  // namespace

void runSummary(const std::vector<Metric>& metrics, const Config& config) {
    std::vector<std::vector<Round>> rounds(metrics.size());
    for (int round = 0; round < config.rounds; ++round) {
        // Every other round runs the whole sequence backwards, so that neither
        // side of a pair always goes first and the population is still grown
        // and shrunk only once per round.
        bool backwards = round % 2 == 1;
        for (size_t k = 0; k < metrics.size(); ++k) {
            size_t i = backwards ? metrics.size() - 1 - k : k;
            const Metric& metric = metrics[i];
            Round measured;
            if (backwards) {
                measured.baseline = measure(metric.baseline, metric);
                measured.plugin = measure(metric.plugin, metric);
            } else {
                measured.plugin = measure(metric.plugin, metric);
                measured.baseline = measure(metric.baseline, metric);
            }
            measured.ratio = metric.throughput ? measured.baseline / measured.plugin
                                               : measured.plugin / measured.baseline;
            rounds[i].push_back(measured);
            std::fprintf(stderr, "round %d/%d  %-16s %10.4g %10.4g  %.3f\n", round + 1,
                         config.rounds, metric.name.c_str(), measured.plugin, measured.baseline,
                         measured.ratio);
        }
    }
    std::fprintf(stderr, "\n%-16s %10s %10s %10s  %-13s %s\n", "metric", "plugin", "baseline",
                 "ratio", "ratio range", "(the median round; ns per iteration unless named)");
    for (size_t i = 0; i < metrics.size(); ++i) {
        Round middle = medianRound(rounds[i]);
        auto range =
            std::minmax_element(rounds[i].begin(), rounds[i].end(),
                                [](const Round& a, const Round& b) { return a.ratio < b.ratio; });
        std::fprintf(stderr, "%-16s %10.4g %10.4g %10.3f  %.2f-%-8.2f %s\n",
                     metrics[i].name.c_str(), middle.plugin, middle.baseline, middle.ratio,
                     range.first->ratio, range.second->ratio, metrics[i].counter.c_str());
    }
    std::fflush(stderr);
    for (size_t i = 0; i < metrics.size(); ++i) {
        // Judged as printed, so that a row never reads 1.25 over a goal of 1.25.
        double ratio = std::round(medianRatio(rounds[i]) * 100) / 100;
        std::printf("%s %.2f %g %s\n", metrics[i].name.c_str(), ratio, metrics[i].goal,
                    ratio <= metrics[i].goal ? "ok" : "over");
    }
    std::fflush(stdout);
}

}  // namespace bench
