// LockThread and UnLockThread: lock ids, who may release a lock, waiting for
// a held mutex, and real contention between workers.
#include <array>

#include "tests/support.h"

namespace {

using test::PluginTest;
using test::sleepForever;

TEST_F(PluginTest, LockIdsAreTheSmallestFreeAndApartFromThreadIds) {
    emu::Script& script = load({{"Sleep", sleepForever()}});
    run(script, [](emu::Call& c) {
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 1);
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 2);
        for (cell unknown : {0, -1, 3, 99}) {
            EXPECT_EQ(c.native("LockThread", {unknown}), 0) << unknown;
        }
        EXPECT_EQ(c.native("LockThread", {1}), 1);
        EXPECT_EQ(c.native("LockThread", {2}), 2);
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 3);
        EXPECT_EQ(c.native("UnLockThread", {1}), 1);
        EXPECT_EQ(c.native("UnLockThread", {1}), 0);
        for (cell unknown : {0, -1, 3, 99}) {
            EXPECT_EQ(c.native("UnLockThread", {unknown}), 0) << unknown;
        }
        EXPECT_EQ(c.native("LockThread", {3}), 1);
        EXPECT_EQ(c.native("LockThread", {1}), 3);
        for (cell lock : {1, 2, 3}) {
            EXPECT_EQ(c.native("UnLockThread", {lock}), 1) << lock;
        }
    });
}

// Past a machine word's worth of held locks, a search for the smallest free
// id skips the groups of ids it found all held: one freed in any of them,
// with either word size, is the smallest free again.
TEST_F(PluginTest, LockIdsStayTheSmallestFreePastGroupsOnceFull) {
    static constexpr cell kLocks = 140;
    static constexpr std::array<cell, 6> kFreed{1, 33, 64, 65, 129, 140};
    emu::Script& script = load({{"Sleep", sleepForever()}});
    run(script, [](emu::Call& c) {
        for (cell id = 1; id <= kLocks; ++id) {
            ASSERT_EQ(c.native("CreateThread", {emu::str("Sleep")}), id);
            ASSERT_EQ(c.native("LockThread", {id}), id);
        }
        for (cell freed : kFreed) {
            EXPECT_EQ(c.native("UnLockThread", {freed}), 1) << freed;
        }
        for (cell freed : kFreed) {
            EXPECT_EQ(c.native("LockThread", {freed}), freed);
        }
        for (cell lock = 1; lock <= kLocks; ++lock) {
            EXPECT_EQ(c.native("UnLockThread", {lock}), 1) << lock;
        }
    });
}

TEST_F(PluginTest, AnyThreadMayReleaseALock) {
    struct Seen {
        std::atomic<cell> workerLock{0};
        std::atomic<cell> workerUnlock{-1};
    };
    auto& seen = keep<Seen>();
    // Each single-shot worker ends before the next starts.
    emu::Script& script = load(
        {{"Lock", [&seen](emu::Call& c) { seen.workerLock = c.native("LockThread", {1}); }},
         {"Unlock", [&seen](emu::Call& c) { seen.workerUnlock = c.native("UnLockThread", {1}); }}});
    EXPECT_EQ(start(load({{"Sleep", sleepForever()}}), "Sleep"), 1);
    EXPECT_EQ(startOnce(script, "Lock"), 2);
    ASSERT_TRUE(test::eventually([&] { return seen.workerLock != 0; }));
    EXPECT_EQ(seen.workerLock, 1);
    EXPECT_EQ(call(script, "UnLockThread", {1}), 1);

    EXPECT_EQ(call(script, "LockThread", {1}), 1);
    EXPECT_EQ(startOnce(script, "Unlock"), 3);
    ASSERT_TRUE(test::eventually([&] { return seen.workerUnlock != -1; }));
    EXPECT_EQ(seen.workerUnlock, 1);
    // The mutex is free again: this would wait forever otherwise.
    EXPECT_EQ(call(script, "LockThread", {1}), 1);
}

// The main script holds thread 2's mutex under lock 1 and thread 1's under
// lock 2; a worker waits for thread 2's, then locks it a second time itself.
TEST_F(PluginTest, WaitersGoOnWhenTheHolderUnlocksAndTheMutexIsNotRecursive) {
    struct Seen {
        std::atomic<int> step{0};
        std::atomic<pid_t> tid{0};
        std::atomic<cell> first{0};
        std::atomic<cell> second{0};
    };
    auto& seen = keep<Seen>();
    emu::Public twice = [&seen](emu::Call& c) {
        seen.tid = test::osThreadId();
        seen.step = 1;
        seen.first = c.native("LockThread", {2});
        seen.step = 2;
        seen.second = c.native("LockThread", {2});
    };
    emu::Script& script = load({{"Sleep", sleepForever()}, {"Twice", twice}});
    run(script, [](emu::Call& c) {
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 1);
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 2);
        EXPECT_EQ(c.native("LockThread", {2}), 1);
        EXPECT_EQ(c.native("LockThread", {1}), 2);
        EXPECT_EQ(c.native("CreateThreadEx", {emu::str("Twice")}), 3);
        c.native("SleepThread", {0});
    });
    ASSERT_TRUE(test::blocks(seen.tid));
    EXPECT_EQ(seen.first, 0);
    EXPECT_EQ(call(script, "UnLockThread", {1}), 1);
    ASSERT_TRUE(test::eventually([&] { return seen.step == 2; }));
    ASSERT_TRUE(test::blocks(seen.tid)) << "a second lock on the same thread must wait";
    EXPECT_EQ(seen.first, 1);
    EXPECT_EQ(seen.second, 0);

    // Releasing the worker's first lock lets its second go on.
    EXPECT_EQ(call(script, "UnLockThread", {seen.first.load()}), 1);
    ASSERT_TRUE(test::eventually([&] { return seen.second != 0; }));
    EXPECT_EQ(seen.second, 1);
    EXPECT_EQ(call(script, "UnLockThread", {2}), 1);
    EXPECT_EQ(call(script, "UnLockThread", {seen.second.load()}), 1);
    EXPECT_EQ(call(script, "LockThread", {2}), 1);
}

// Workers, each of a script of its own, lock three script threads in turn. A
// returned id must name a lock only its caller holds: at most three are held
// at once, so the ids stay within 1 to 3, and no two holders ever share a
// mutex or an id.
TEST_F(PluginTest, ContendingWorkersGetDistinctIdsNamingTheirOwnLocks) {
    static constexpr int kWorkers = 6;
    static constexpr int kRounds = 150;
    struct Contention {
        std::array<std::atomic<int>, 4> holders{};
        std::array<std::atomic<cell>, 4> idHolder{};
        std::atomic<int> violations{0};
        std::atomic<int> rounds{0};
    };
    auto& state = keep<Contention>();
    test::Gate& go = gate();
    emu::Public contend = [&state, &go](emu::Call& c) {
        cell me = c.arg(0);
        c.native("SleepThread", {0});
        go.wait();
        for (int round = 0; round < kRounds; ++round) {
            cell target = 1 + (round + me) % 3;
            cell lock = c.native("LockThread", {target});
            if (lock < 1 || lock > 3 || state.holders[target].fetch_add(1) != 0 ||
                state.idHolder[lock].exchange(me) != 0) {
                ++state.violations;
                return;
            }
            std::this_thread::yield();
            state.idHolder[lock] = 0;
            --state.holders[target];
            if (c.native("UnLockThread", {lock}) != 1) {
                ++state.violations;
                return;
            }
            ++state.rounds;
        }
    };
    emu::Script& script = load({{"Sleep", sleepForever()}});
    run(script, [&](emu::Call& c) {
        for (int i = 0; i < 3; ++i) {
            c.native("CreateThread", {emu::str("Sleep")});
        }
        c.native("SleepThread", {0});
    });
    for (int i = 0; i < kWorkers; ++i) {
        EXPECT_EQ(startOnce(load({{"Contend", contend}}), "Contend"), 4 + i);
    }
    go.open();
    ASSERT_TRUE(workersEnded(3));
    EXPECT_EQ(state.violations, 0);
    EXPECT_EQ(state.rounds, kWorkers * kRounds);
    for (cell target = 1; target <= 3; ++target) {
        EXPECT_TRUE(threadExists(target)) << "every mutex is free again";
    }
}

}  // namespace
