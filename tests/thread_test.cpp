// Script threads as a script sees them: ids, looping and single-shot
// publics, reaping by ticks, and SleepThread.
#include <array>
#include <climits>

#include "tests/support.h"

namespace {

using test::PluginTest;
using test::sleepForever;

TEST_F(PluginTest, ThreadIdsAreTheSmallestFree) {
    emu::Script& script = load({{"Sleep", sleepForever()}});
    run(script, [](emu::Call& c) {
        auto create = [&c] { return c.native("CreateThread", {emu::str("Sleep")}); };
        EXPECT_EQ(create(), 1);
        EXPECT_EQ(create(), 2);
        EXPECT_EQ(c.native("DestroyThread", {1}), 1);
        EXPECT_EQ(create(), 1);
        EXPECT_EQ(create(), 3);
        EXPECT_EQ(c.native("DestroyThread", {2}), 1);
        EXPECT_EQ(create(), 2);  // 1 and 3 alive
        EXPECT_EQ(create(), 4);  // 1, 2 and 3 alive
        for (cell unknown : {0, -1, 5, 99}) {
            EXPECT_EQ(c.native("DestroyThread", {unknown}), 0) << unknown;
        }
    });
}

TEST_F(PluginTest, LoopThreadCallsItsPublicAgainAndAgainWithItsId) {
    struct Seen {
        std::atomic<int> calls{0};
        std::atomic<int> otherArgument{0};
    };
    auto& seen = keep<Seen>();
    emu::Script& script = load({{"Sleep", sleepForever()}, {"Loop", [&seen](emu::Call& c) {
                                                                if (c.arg(0) != 2) {
                                                                    seen.otherArgument = c.arg(0);
                                                                }
                                                                ++seen.calls;
                                                            }}});
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Sleep")}), 1);
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Loop")}), 2);
    ASSERT_TRUE(test::eventually([&] { return seen.calls >= 100; }));
    EXPECT_EQ(call(script, "DestroyThread", {2}), 1);
    EXPECT_EQ(seen.otherArgument, 0);
}

// Five single-shot threads finish in an order of the test's choosing; each
// tick then reaps exactly one, the earliest finished.
TEST_F(PluginTest, FinishedOnceThreadsKeepTheirIdsUntilTicksReapThemInOrder) {
    auto& calls = keep<std::array<std::atomic<int>, 6>>();
    std::array<test::Gate*, 6> gates{};
    for (int id = 1; id <= 5; ++id) {
        gates[id] = &gate();
    }
    emu::Script& script = load({{"Once", [&calls, gates](emu::Call& c) {
                                     ++calls.at(c.arg(0));
                                     gates.at(c.arg(0))->wait();
                                 }}});
    for (cell id = 1; id <= 5; ++id) {
        EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Once")}), id);
    }
    const std::array<cell, 5> finishingOrder = {3, 1, 5, 2, 4};
    int running = 5;
    for (cell id : finishingOrder) {
        gates[id]->open();
        // A single-shot worker queues its id before its OS thread ends.
        ASSERT_TRUE(workersEnded(--running));
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(threadExists(finishingOrder[i])) << "an unreaped id is still taken";
    }
    for (int reaped = 0; reaped < 5; ++reaped) {
        host->tick();
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(threadExists(finishingOrder[i]), i > reaped)
                << "tick " << reaped + 1 << ", thread " << finishingOrder[i];
        }
    }
    for (int id = 1; id <= 5; ++id) {
        EXPECT_EQ(calls[id], 1) << id;
    }
}

// A worker finds a public without the host's amx_FindPublic, which open.mp
// keeps a cache for that only its main thread may touch. Many publics, so
// that the lookup walks a sorted table of some size.
TEST_F(PluginTest, AWorkerCreatesThreadsOfPublicsFoundWithoutTheMainThreadsLookup) {
    auto& results = keep<std::array<std::atomic<cell>, 2>>();
    results[1] = -1;
    auto& ran = keep<std::atomic<int>>();
    std::vector<std::pair<std::string, emu::Public>> publics = {
        {"Spawner", [&results](emu::Call& c) {
             results[0] = c.native("CreateThreadEx", {emu::str("Target")});
             results[1] = c.native("CreateThreadEx", {emu::str("Targe")});
         }}};
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        publics.emplace_back(std::string("Filler") + letter, [](emu::Call&) {});
    }
    publics.emplace_back("Target", [&ran](emu::Call&) { ++ran; });
    emu::Script& script = load(std::move(publics));
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Spawner")}), 1);
    ASSERT_TRUE(test::eventually([&] { return ran == 1 && results[1] != -1; }));
    EXPECT_EQ(results[0], 2);
    EXPECT_EQ(results[1], 0);
}

TEST_F(PluginTest, SleepThreadWithADeadlinePastReturnsOneAtOnce) {
    auto& results = keep<std::array<std::atomic<cell>, 3>>();
    emu::Script& script = load({{"Once", [&results](emu::Call& c) {
                                     results[0] = c.native("SleepThread", {0});
                                     results[1] = c.native("SleepThread", {-5});
                                     results[2] = c.native("SleepThread", {INT_MIN});
                                 }}});
    for (cell ms : {0, -5, INT_MIN}) {
        EXPECT_EQ(call(script, "SleepThread", {ms}), 1) << ms;
    }
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Once")}), 1);
    ASSERT_TRUE(workersEnded());
    for (auto& result : results) {
        EXPECT_EQ(result, 1);
    }
}

}  // namespace
