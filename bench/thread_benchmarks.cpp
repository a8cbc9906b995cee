// Script threads against bare Boost threads doing the same.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>

#include "bench/metrics.h"
#include "bench/population.h"
#include "bench/probes.h"
#include "bench/rig.h"
#include "threads/s_thread.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void nothing() {}

// A bare Boost thread asleep the way SleepThread sleeps.
void sleepUntilInterrupted() {
    Sleepers::Inside asleep;
    boost::this_thread::sleep(boost::posix_time::milliseconds(kLongSleepMs));
}

// ---- once-roundtrip: CreateThreadEx until a tick has reaped the thread.

void onceRoundtripPlugin(benchmark::State& state) {
    Rig& rig = Rig::get();
    population.resize(0);
    rig.run([&](emu::Call& c) {
        for (auto _ : state) {
            exitSignal.reset();
            cell id = c.invoke(rig.createThreadEx, {rig.onceName});
            if (id != 1) {
                state.SkipWithError("CreateThreadEx did not hand out id 1");
                break;
            }
            // The worker starts while this code sleeps.
            c.invoke(rig.sleepThread, {0});
            // The worker queues its id before it exits, so once it has exited
            // the next tick is sure to reap it.
            exitSignal.wait();
            rig.host.tick();
        }
    });
}

void onceRoundtripBoost(benchmark::State& state) {
    population.resize(0);
    for (auto _ : state) {
        boost::thread thread(&nothing);
        thread.join();
    }
}

// ---- create-start: CreateThreadEx until its public runs.

void createStartPlugin(benchmark::State& state) {
    Rig& rig = Rig::get();
    population.resize(0);
    rig.run([&](emu::Call& c) {
        for (auto _ : state) {
            exitSignal.reset();
            publicRan.reset();
            auto start = Clock::now();
            if (c.invoke(rig.createThreadEx, {rig.ranName}) == 0) {
                state.SkipWithError("CreateThreadEx created nothing");
                break;
            }
            publicRan.wait();
            state.SetIterationTime(secondsSince(start));
            exitSignal.wait();
            rig.host.tick();
        }
    });
}

// A raw thread start and one execution of the same public on the script's
// machine, which nothing else runs meanwhile.
void createStartBoost(benchmark::State& state) {
    Rig& rig = Rig::get();
    population.resize(0);
    auto push = reinterpret_cast<amx_Push_t>(rig.host.amxExports()[PLUGIN_AMX_EXPORT_Push]);
    auto exec = reinterpret_cast<amx_Exec_t>(rig.host.amxExports()[PLUGIN_AMX_EXPORT_Exec]);
    AMX* amx = rig.script.amx();
    int index = rig.ranIndex;
    boost::thread::attributes attributes;
    attributes.set_stack_size(kWorkerStackBytes);
    for (auto _ : state) {
        publicRan.reset();
        auto start = Clock::now();
        boost::thread thread(attributes, [&] {
            push(amx, 1);
            exec(amx, nullptr, index);
        });
        publicRan.wait();
        state.SetIterationTime(secondsSince(start));
        thread.join();
    }
}

// ---- callback-beside-workers: a main-thread public while a worker of its
// script computes beside it.

// What the public does: arithmetic and calls of one of the plugin's natives.
void callbackWork(Rig& rig) {
    rig.run([&](emu::Call& c) {
        uint32_t value = 1;
        for (int call = 0; call < 64; ++call) {
            for (int step = 0; step < 64; ++step) {
                value = value * 1664525u + 1013904223u;
            }
            c.invoke(rig.unlockThread, {static_cast<cell>(value & 0x7FFF0000u) + 1000000});
        }
        benchmark::DoNotOptimize(value);
    });
}

void callbackBesideWorkers(benchmark::State& state, size_t workers) {
    Rig& rig = Rig::get();
    population.resize(0);
    std::vector<cell> ids;
    computation.allow();
    for (size_t i = 0; i < workers; ++i) {
        ids.push_back(rig.start(rig.computeName));
    }
    for (auto _ : state) {
        callbackWork(rig);
    }
    // Each public returns once stopped, and DestroyThread waits for that.
    computation.stop();
    for (cell id : ids) {
        rig.call(rig.destroyThread, id);
    }
}

// ---- destroy-sleeper: DestroyThread of a worker asleep in SleepThread.

void destroySleeperPlugin(benchmark::State& state) {
    Rig& rig = Rig::get();
    population.resize(0);
    rig.run([&](emu::Call& c) {
        for (auto _ : state) {
            uint64_t mark = sleepers.mark();
            cell id = c.invoke(rig.createThread, {rig.sleeperName});
            c.invoke(rig.sleepThread, {0});
            if (id == 0 || !sleepers.waitAsleep(1, mark)) {
                state.SkipWithError("the script thread did not fall asleep");
                break;
            }
            auto start = Clock::now();
            cell destroyed = c.invoke(rig.destroyThread, {id});
            state.SetIterationTime(secondsSince(start));
            if (destroyed != 1) {
                state.SkipWithError("DestroyThread did not destroy the sleeper");
                break;
            }
        }
    });
}

void destroySleeperBoost(benchmark::State& state) {
    population.resize(0);
    for (auto _ : state) {
        uint64_t mark = sleepers.mark();
        boost::thread thread(&sleepUntilInterrupted);
        if (!sleepers.waitAsleep(1, mark)) {
            state.SkipWithError("the thread did not fall asleep");
            thread.interrupt();
            thread.join();
            break;
        }
        auto start = Clock::now();
        thread.interrupt();
        thread.join();
        state.SetIterationTime(secondsSince(start));
    }
}

// ---- create-at-N: CreateThread + DestroyThread beside N live threads.

void createDestroyBeside(benchmark::State& state, size_t live) {
    Rig& rig = Rig::get();
    population.resize(live);
    rig.run([&](emu::Call& c) {
        for (auto _ : state) {
            cell id = c.invoke(rig.createThread, {rig.sleeperName});
            if (c.invoke(rig.destroyThread, {id}) != 1) {
                state.SkipWithError("DestroyThread did not destroy the new thread");
                break;
            }
        }
    });
}

// ---- loop-rate: calls per second of a looping script thread.

// Runs windows of the spinning loop that start() begins and stop() ends, and
// reports the calls of the public per second.
template <typename Start, typename Stop>
void countSpins(benchmark::State& state, double windowSeconds, Start start, Stop stop) {
    uint64_t calls = 0;
    double seconds = 0;
    for (auto _ : state) {
        uint64_t before = spins.calls();
        start();
        while (spins.calls() == before) {
            std::this_thread::yield();
        }
        uint64_t first = spins.calls();
        auto begin = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(windowSeconds));
        uint64_t last = spins.calls();
        double window = secondsSince(begin);
        stop();
        state.SetIterationTime(window);
        calls += last - first;
        seconds += window;
    }
    state.counters["calls_per_s"] = seconds > 0 ? static_cast<double>(calls) / seconds : 0;
}

void loopRatePlugin(benchmark::State& state, double windowSeconds) {
    Rig& rig = Rig::get();
    population.resize(0);
    cell id = 0;
    countSpins(
        state, windowSeconds, [&] { id = rig.start(rig.spinName); },
        [&] { rig.call(rig.destroyThread, id); });
}

void loopRateHost(benchmark::State& state, double windowSeconds) {
    Rig& rig = Rig::get();
    population.resize(0);
    // The calls a looping worker makes, through the same function table.
    auto push = reinterpret_cast<amx_Push_t>(rig.host.amxExports()[PLUGIN_AMX_EXPORT_Push]);
    auto exec = reinterpret_cast<amx_Exec_t>(rig.host.amxExports()[PLUGIN_AMX_EXPORT_Exec]);
    AMX* amx = rig.script.amx();
    int index = rig.spinIndex;
    std::atomic<bool> stop{false};
    boost::thread loop;
    countSpins(
        state, windowSeconds,
        [&] {
            stop = false;
            loop = boost::thread([&] {
                while (!stop.load(std::memory_order_acquire)) {
                    push(amx, 1);
                    exec(amx, nullptr, index);
                }
            });
        },
        [&] {
            stop = true;
            loop.join();
        });
}

// ---- sleeper-memory and stack-reserve: resident memory and address space
// per sleeping thread.

enum class Cost {
    // What the process's resident memory grew by.
    Memory,
    // The address space the sleepers' stacks take, measured on each: stacks
    // that ended threads left behind may serve new threads without a new
    // mapping, which a growth of the process's mappings would miss.
    AddressSpace,
};

// Starts count sleepers with start(), measures their cost once all sleep,
// and reports it per thread; stop() ends them.
template <typename Start, typename Stop>
void measureSleepers(benchmark::State& state, size_t count, Cost cost, Start start, Stop stop) {
    double added = 0;
    for (auto _ : state) {
        // Memory freed by earlier runs goes back first, so that it cannot hide
        // what this run takes.
        malloc_trim(0);
        uint64_t mark = sleepers.mark();
        long before = residentBytes();
        start();
        if (!sleepers.waitAsleep(static_cast<int>(count), mark)) {
            state.SkipWithError("the sleepers did not fall asleep");
        }
        added += cost == Cost::Memory ? static_cast<double>(residentBytes() - before)
                                      : sleepers.reservedStacks(mark);
        stop();
    }
    state.counters["bytes_per_thread"] =
        added / static_cast<double>(count) / static_cast<double>(state.iterations());
}

void sleepersPlugin(benchmark::State& state, size_t count, Cost cost) {
    Rig& rig = Rig::get();
    population.resize(0);
    std::vector<cell> ids;
    ids.reserve(count);
    measureSleepers(
        state, count, cost,
        [&] {
            rig.run([&](emu::Call& c) {
                for (size_t i = 0; i < count; ++i) {
                    ids.push_back(c.invoke(rig.createThread, {rig.sleeperName}));
                }
                c.invoke(rig.sleepThread, {0});
            });
        },
        [&] {
            rig.run([&](emu::Call& c) {
                for (cell id : ids) {
                    c.invoke(rig.destroyThread, {id});
                }
            });
            ids.clear();
        });
}

// Bare Boost threads with the very stack the plugin gives its workers: a
// 32-bit process could not hold a thousand with the default stack.
void sleepersBoost(benchmark::State& state, size_t count, Cost cost) {
    population.resize(0);
    boost::thread::attributes attributes;
    attributes.set_stack_size(kWorkerStackBytes);
    std::vector<boost::thread> threads;
    threads.reserve(count);
    measureSleepers(
        state, count, cost,
        [&] {
            for (size_t i = 0; i < count; ++i) {
                threads.emplace_back(attributes, &sleepUntilInterrupted);
            }
        },
        [&] {
            for (auto& thread : threads) {
                thread.interrupt();
            }
            for (auto& thread : threads) {
                thread.join();
            }
            threads.clear();
        });
}

// Registers both sides of a per-sleeper metric, one run of count sleepers each.
Metric perSleeper(const std::string& name, double goal, size_t count, Cost cost) {
    Metric m{name, goal, name + "/plugin", name + "/boost", "bytes_per_thread"};
    for (auto* b :
         {benchmark::RegisterBenchmark(
              m.plugin.c_str(),
              [count, cost](benchmark::State& s) { sleepersPlugin(s, count, cost); }),
          benchmark::RegisterBenchmark(m.baseline.c_str(), [count, cost](benchmark::State& s) {
              sleepersBoost(s, count, cost);
          })}) {
        b->Iterations(1)->UseRealTime();
    }
    return m;
}

// A row whose benchmarks time each iteration themselves, the plugin's against
// bare Boost threads'.
Metric manualPair(const char* name, double goal, void (*plugin)(benchmark::State&),
                  void (*boost)(benchmark::State&), const Config& config) {
    Metric m{name, goal, std::string(name) + "/plugin", std::string(name) + "/boost", ""};
    for (auto* b : {benchmark::RegisterBenchmark(m.plugin.c_str(), plugin),
                    benchmark::RegisterBenchmark(m.baseline.c_str(), boost)}) {
        b->UseManualTime()->Iterations(config.threadIterations);
    }
    return m;
}

}  // namespace

Metric onceRoundtrip(const Config& config) {
    return timedPair("once-roundtrip", 1.25, onceRoundtripPlugin, onceRoundtripBoost, config);
}

Metric createStart(const Config& config) {
    return manualPair("create-start", 1.5, createStartPlugin, createStartBoost, config);
}

Metric callbackBesideWorkers(const Config& config) {
    // Fewer workers than cores: the public must not wait for a core.
    unsigned cores = std::max(2u, std::thread::hardware_concurrency());
    size_t workers = cores - 1;
    std::fprintf(stderr, "callback-beside-workers: %zu worker(s) on %u cores\n", workers, cores);
    Metric m{"callback-beside-workers", 1.2, "callback-beside-workers/plugin",
             "callback-beside-workers/alone", ""};
    timed(benchmark::RegisterBenchmark(
              m.plugin.c_str(),
              [workers](benchmark::State& s) { callbackBesideWorkers(s, workers); }),
          config);
    timed(benchmark::RegisterBenchmark(m.baseline.c_str(),
                                       [](benchmark::State& s) { callbackBesideWorkers(s, 0); }),
          config);
    return m;
}

Metric destroySleeper(const Config& config) {
    return manualPair("destroy-sleeper", 1.25, destroySleeperPlugin, destroySleeperBoost, config);
}

Metric createAtPopulation(const Config& config) {
    Metric m{scaledName("create-at", config.population), 1.5, "", "", ""};
    m.plugin = m.name + "/plugin";
    m.baseline = m.name + "/" + std::to_string(config.smallPopulation) + "-live";
    size_t large = config.population;
    size_t small = config.smallPopulation;
    timed(benchmark::RegisterBenchmark(
              m.plugin.c_str(), [large](benchmark::State& s) { createDestroyBeside(s, large); }),
          config);
    timed(benchmark::RegisterBenchmark(
              m.baseline.c_str(), [small](benchmark::State& s) { createDestroyBeside(s, small); }),
          config);
    return m;
}

Metric loopRate(const Config& config) {
    Metric m{"loop-rate", 1.25, "loop-rate/plugin", "loop-rate/host", "calls_per_s", true};
    double window = config.windowSeconds;
    for (auto* b :
         {benchmark::RegisterBenchmark(
              m.plugin.c_str(), [window](benchmark::State& s) { loopRatePlugin(s, window); }),
          benchmark::RegisterBenchmark(
              m.baseline.c_str(), [window](benchmark::State& s) { loopRateHost(s, window); })}) {
        b->UseManualTime()->Iterations(config.windows);
    }
    return m;
}

Metric sleeperMemory(const Config& config) {
    return perSleeper("sleeper-memory", 1.1, config.sleepers, Cost::Memory);
}

Metric stackReserve(const Config& config) {
    // What a worker reserves beyond that stack and its guard shows as the
    // ratio.
    return perSleeper("stack-reserve", 1.1, config.sleepers, Cost::AddressSpace);
}

}  // namespace bench
