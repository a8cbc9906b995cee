// What a worker's stack holds, and how many workers the server's address
// space holds. Kept apart from the other tests: it fills the process.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>

#include "tests/support.h"

namespace {

using test::PluginTest;

// ThreadSanitizer keeps most of a megabyte per thread in thread-local
// storage, which glibc carves out of the stack a thread asks for: its workers
// have less room than the server's.
#ifndef __SANITIZE_THREAD__
// A native of the server or of another plugin with a large frame, such as a
// database query or string formatting into a big buffer.
cell useStack(AMX*, cell* params) {
    volatile char frame[128 * 1024];
    for (size_t i = 0; i < sizeof frame; i += 512) {
        frame[i] = static_cast<char>(params[1]);
    }
    return frame[sizeof frame / 2];
}

TEST_F(PluginTest, ServerNativesCalledByAWorkerHaveRoomOnItsStack) {
    breaksRule("a worker calls a native of the server");
    auto& result = keep<std::atomic<cell>>();
    emu::ScriptDefinition definition{
        {{"Deep", [&result](emu::Call& c) { result = c.native("UseStack", {7}); }}},
        test::kAllNatives};
    definition.serverNatives = {{"UseStack", &useStack}};
    emu::Script& script = host->loadScript(std::move(definition));
    EXPECT_EQ(startOnce(script, "Deep"), 1);
    ASSERT_TRUE(workersEnded());
    EXPECT_EQ(result, 7);
}
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu && !defined(_WIN32)
// The 32-bit server: 2,048 workers of one script, each on a machine of its
// own with the default stack (16 KiB), fit beside a server that still needs
// a gigabyte for itself; a worker more is refused rather than taking the
// server's last address space. Not under Wine, which reserves at least a
// megabyte for every thread's stack and so fits about 950 threads.
TEST_F(PluginTest, ThirtyTwoBitServerHoldsItsWorkersAndRoomForItself) {
    constexpr cell kCeiling = 2048;
    auto& asleep = keep<std::atomic<int>>();
    auto& stacks = keep<std::pair<std::mutex, std::set<cell>>>();
    emu::ScriptDefinition definition{{{"Sleep",
                                       [&](emu::Call& c) {
                                           {
                                               std::lock_guard<std::mutex> lock(stacks.first);
                                               stacks.second.insert(c.amx().stp);
                                           }
                                           ++asleep;
                                           c.native("SleepThread", {test::kLongSleep});
                                       }}},
                                     test::kAllNatives};
    definition.dataCells = 8 * 1024;
    emu::Script& script = host->loadScript(std::move(definition));
    run(script, [&](emu::Call& c) {
        for (cell id = 1; id <= kCeiling; ++id) {
            ASSERT_EQ(c.native("CreateThread", {emu::str("Sleep")}), id);
        }
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 0);
        EXPECT_EQ(c.native("CreateThreadEx", {emu::str("Sleep")}), 0);
    });
    ASSERT_TRUE(test::eventually([&] { return asleep == kCeiling; }));
    EXPECT_EQ(stacks.second.size(), static_cast<size_t>(kCeiling));
    EXPECT_EQ(stacks.second.count(script.amx()->stp), 0u);
    volatile char* serverMemory = static_cast<char*>(std::malloc(size_t{1} << 30));
    ASSERT_NE(serverMemory, nullptr) << "the workers took the server's address space";
    serverMemory[0] = 1;
    std::free(const_cast<char*>(serverMemory));

    run(script, [&](emu::Call& c) {
        for (cell id = 1; id <= kCeiling; ++id) {
            ASSERT_EQ(c.native("DestroyThread", {id}), 1);
        }
    });
    ASSERT_TRUE(workersEnded());
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Sleep")}), 1);
}
#endif

// A script with a large stack fills what one script may reserve with a few
// workers: the next is refused, and the log says why once for the script,
// however often it is refused; a worker that ends makes room again.
TEST_F(PluginTest, AFullRoomRefusesWorkersUntilOneEndsAndSaysSoOnce) {
    emu::ScriptDefinition definition{{{"Sleep", test::sleepForever()}}, test::kAllNatives};
    definition.dataCells = (sizeof(void*) == 4 ? size_t{10} : size_t{48}) << 18;
    emu::Script& script = host->loadScript(std::move(definition));
    cell workers = 0;
    while (workers < 64 && call(script, "CreateThread", {emu::str("Sleep")}) == workers + 1) {
        ++workers;
    }
    ASSERT_GT(workers, 0);
    ASSERT_LT(workers, 64);
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Sleep")}), 0);
    auto fullLines = [&] {
        host->tick();
        std::vector<std::string> log = host->log();
        return std::count_if(log.begin(), log.end(), [](const std::string& line) {
            return line.find("Vantrel: no room for another worker of") == 0;
        });
    };
    EXPECT_EQ(fullLines(), 1);
    EXPECT_EQ(call(script, "DestroyThread", {1}), 1);
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Sleep")}), 1);
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Sleep")}), 0);
    EXPECT_EQ(fullLines(), 1);
}

// Starts wait on a shared machine until their creator waits in a native or a
// tick comes: a script's code that created threads and returned leaves them
// pending. A wait of other code that starts nothing must cost nothing more
// for four times as many pending starts, or every start of a chain would
// cost in proportion to the starts still pending behind it.
TEST_F(PluginTest, AWaitThatStartsNothingCostsTheSameForMorePendingStarts) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || UINTPTR_MAX == 0xFFFFFFFFu
    constexpr int kPending = 256;
#else
    constexpr int kPending = 1024;
#endif
    constexpr int kWaits = 2000;
    auto& ran = keep<std::atomic<int>>();
    emu::Script& creator = loadShared({{"Step", [&ran](emu::Call&) { ++ran; }}});
    emu::Script& waiter = loadShared();
    // The quickest of three runs of the waits.
    auto waitsWith = [&](int pending) {
        ran = 0;
        run(creator, [pending](emu::Call& c) {
            for (int i = 0; i < pending; ++i) {
                EXPECT_GT(c.native("CreateThreadEx", {emu::str("Step")}), 0);
            }
        });
        auto quickest = std::chrono::steady_clock::duration::max();
        for (int attempt = 0; attempt < 3; ++attempt) {
            auto began = std::chrono::steady_clock::now();
            run(waiter, [](emu::Call& c) {
                for (int i = 0; i < kWaits; ++i) {
                    c.native("SleepThread", {0});
                }
            });
            quickest = std::min(quickest, std::chrono::steady_clock::now() - began);
        }
        // One start per tick, each reaped at a later one.
        EXPECT_TRUE(test::eventually([&] {
            host->tick();
            return ran == pending;
        }));
        host->tick();
        EXPECT_TRUE(workersEnded());
        return std::chrono::duration<double>(quickest).count();
    };
    double few = waitsWith(kPending);
    double many = waitsWith(4 * kPending);
    EXPECT_LT(many / few, 2.0) << kWaits << " waits took " << few << " s beside " << kPending
                               << " pending starts, " << many << " s beside " << 4 * kPending;
}

}  // namespace
