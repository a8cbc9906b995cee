// Locks and the idle tick against a bare boost::mutex.
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/thread/mutex.hpp>

#include "bench/metrics.h"
#include "bench/population.h"
#include "bench/rig.h"

namespace bench {

namespace {

void mutexPair(benchmark::State& state) {
    population.resize(0);
    boost::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}

// LockThread + UnLockThread of the last live thread, with held - 1 locks on
// other threads already in the table.
void lockPairBeside(benchmark::State& state, size_t live, size_t held) {
    Rig& rig = Rig::get();
    population.resize(live);
    const std::vector<cell>& threads = population.ids();
    rig.run([&](emu::Call& c) {
        std::vector<cell> locks;
        for (size_t i = 0; i + 1 < held; ++i) {
            locks.push_back(c.invoke(rig.lockThread, {threads[i]}));
        }
        cell target = threads.back();
        for (auto _ : state) {
            cell lock = c.invoke(rig.lockThread, {target});
            c.invoke(rig.unlockThread, {lock});
        }
        for (cell lock : locks) {
            c.invoke(rig.unlockThread, {lock});
        }
    });
}

void tickIdlePlugin(benchmark::State& state) {
    Rig& rig = Rig::get();
    population.resize(0);
    for (auto _ : state) {
        rig.host.processTick();
    }
}

}  // namespace

Metric lockPair(const Config& config) {
    return timedPair(
        "lock-pair", 4, [](benchmark::State& s) { lockPairBeside(s, 1, 1); }, mutexPair, config);
}

Metric tickIdle(const Config& config) {
    return timedPair("tick-idle", 1, tickIdlePlugin, mutexPair, config);
}

Metric lockAtPopulation(const Config& config) {
    Metric m{scaledName("lock-at", config.population), 1.5, "", "", ""};
    m.plugin = m.name + "/plugin";
    m.baseline = m.name + "/1-held";
    size_t live = config.population;
    timed(benchmark::RegisterBenchmark(
              m.plugin.c_str(), [live](benchmark::State& s) { lockPairBeside(s, live, live); }),
          config);
    timed(benchmark::RegisterBenchmark(m.baseline.c_str(),
                                       [live](benchmark::State& s) { lockPairBeside(s, live, 1); }),
          config);
    return m;
}

}  // namespace bench
