// Script threads as a script sees them: ids, looping and single-shot
// publics, reaping by ticks, and SleepThread.
#include <array>
#include <climits>

#include "tests/support.h"

namespace {

using test::PluginTest;
using test::sleepForever;

// Each thread of a script of its own, which no other thread shares: two
// threads of one script that a waiting native starts at different times
// would build on the same part of its stack.
TEST_F(PluginTest, ThreadIdsAreTheSmallestFree) {
    auto create = [&] {
        return call(load({{"Sleep", sleepForever()}}), "CreateThread", {emu::str("Sleep")});
    };
    auto destroy = [&](cell id) { return call(observer(), "DestroyThread", {id}); };
    EXPECT_EQ(create(), 1);
    EXPECT_EQ(create(), 2);
    EXPECT_EQ(destroy(1), 1);
    EXPECT_EQ(create(), 1);
    EXPECT_EQ(create(), 3);
    EXPECT_EQ(destroy(2), 1);
    EXPECT_EQ(create(), 2);  // 1 and 3 alive
    EXPECT_EQ(create(), 4);  // 1, 2 and 3 alive
    for (cell unknown : {0, -1, 5, 99}) {
        EXPECT_EQ(destroy(unknown), 0) << unknown;
    }
}

TEST_F(PluginTest, LoopThreadCallsItsPublicAgainAndAgainWithItsId) {
    struct Seen {
        std::atomic<int> calls{0};
        std::atomic<int> otherArgument{0};
    };
    auto& seen = keep<Seen>();
    emu::Script& script = load({{"Loop", [&seen](emu::Call& c) {
                                     if (c.arg(0) != 2) {
                                         seen.otherArgument = c.arg(0);
                                     }
                                     ++seen.calls;
                                 }}});
    EXPECT_EQ(start(load({{"Sleep", sleepForever()}}), "Sleep"), 1);
    // A public that returns at once is started by a tick, once its creator's
    // code has returned: its next call could meet that return otherwise.
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Loop")}), 2);
    host->tick();
    ASSERT_TRUE(test::eventually([&] { return seen.calls >= 100; }));
    // From another script: the loop runs its script's code all the while.
    EXPECT_EQ(call(observer(), "DestroyThread", {2}), 1);
    EXPECT_EQ(seen.otherArgument, 0);
}

// Five single-shot threads, each of a script of its own, finish in an order
// of the test's choosing; each tick then reaps exactly one, the earliest
// finished.
TEST_F(PluginTest, FinishedOnceThreadsKeepTheirIdsUntilTicksReapThemInOrder) {
    auto& calls = keep<std::array<std::atomic<int>, 6>>();
    std::array<test::Gate*, 6> gates{};
    for (int id = 1; id <= 5; ++id) {
        gates[id] = &gate();
    }
    for (cell id = 1; id <= 5; ++id) {
        emu::Script& script = load({{"Once", [&calls, gates](emu::Call& c) {
                                         c.native("SleepThread", {0});
                                         ++calls.at(c.arg(0));
                                         gates.at(c.arg(0))->wait();
                                     }}});
        EXPECT_EQ(startOnce(script, "Once"), id);
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
    EXPECT_EQ(startOnce(script, "Spawner"), 1);
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
    EXPECT_EQ(startOnce(script, "Once"), 1);
    ASSERT_TRUE(workersEnded());
    for (auto& result : results) {
        EXPECT_EQ(result, 1);
    }
}

}  // namespace
