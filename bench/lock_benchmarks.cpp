// Locks and the idle tick against a bare boost::mutex.
#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "bench/metrics.h"
#include "bench/pair_rounds.h"
#include "bench/population.h"
#include "bench/rig.h"

namespace bench {

PairRounds pairRounds;

namespace {

// Long enough that a round's common start and end weigh little beside it.
constexpr size_t kPairsPerRound = 4000;

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

// Rounds by the wall clock of the threads taking part, and the cost of one
// pair on one of them.
void timeRounds(benchmark::State& state) {
    double pairSeconds = 0;
    for (auto _ : state) {
        double seconds = pairRounds.round();
        pairSeconds += seconds;
        state.SetIterationTime(seconds * kPairsPerRound);
    }
    state.counters["ns_per_pair"] =
        benchmark::Counter(pairSeconds * 1e9, benchmark::Counter::kAvgIterations);
}

// Workers each locking and unlocking its own script thread's mutex: the
// LockPairs public of the benchmark script.
void lockPairParallelPlugin(benchmark::State& state, size_t workers) {
    Rig& rig = Rig::get();
    population.resize(0);
    pairRounds.begin(workers, kPairsPerRound);
    std::vector<cell> ids;
    for (size_t i = 0; i < workers; ++i) {
        if (cell id = rig.start(rig.lockPairsName)) {
            ids.push_back(id);
        }
    }
    // A round waits for every worker it counts.
    if (ids.size() == workers) {
        timeRounds(state);
    } else {
        state.SkipWithError("CreateThread created too few workers");
    }
    pairRounds.stop();
    for (cell id : ids) {
        rig.call(rig.destroyThread, id);
    }
}

void lockPairParallelBoost(benchmark::State& state, size_t threads) {
    population.resize(0);
    pairRounds.begin(threads, kPairsPerRound);
    // A cache line each: no thread's pairs write another's line.
    struct alignas(64) OwnMutex {
        boost::mutex mutex;
    };
    std::vector<OwnMutex> mutexes(threads);
    std::vector<boost::thread> running;
    for (size_t i = 0; i < threads; ++i) {
        boost::mutex& mutex = mutexes[i].mutex;
        running.emplace_back([&mutex] {
            pairRounds.take([&mutex] {
                mutex.lock();
                mutex.unlock();
            });
        });
    }
    timeRounds(state);
    pairRounds.stop();
    for (boost::thread& thread : running) {
        thread.join();
    }
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

Metric lockPairParallel(const Config& config) {
    size_t cores = std::max(1u, std::thread::hardware_concurrency());
    size_t workers = std::min<size_t>(cores, 8);
    std::fprintf(stderr, "lock-pair-parallel: %zu worker(s) on %zu cores\n", workers, cores);
    Metric m{"lock-pair-parallel", 4, "lock-pair-parallel/plugin", "lock-pair-parallel/boost",
             "ns_per_pair"};
    for (auto* b :
         {benchmark::RegisterBenchmark(
              m.plugin.c_str(),
              [workers](benchmark::State& s) { lockPairParallelPlugin(s, workers); }),
          benchmark::RegisterBenchmark(m.baseline.c_str(), [workers](benchmark::State& s) {
              lockPairParallelBoost(s, workers);
          })}) {
        b->UseManualTime()->MinTime(config.minTime);
    }
    return m;
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
