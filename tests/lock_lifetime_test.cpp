// Locks outliving the script thread they lock, and teardown that must never
// wait on a lock nobody can release any more.
#include <array>

#include "tests/support.h"

namespace {

using test::PluginTest;
using test::sleepForever;

struct Waiter {
    std::atomic<pid_t> tid{0};
    std::atomic<cell> lock{0};
    std::atomic<cell> unlocked{-1};
};

// Waits for the mutex of thread `target`, then releases it again.
emu::Public lockAndUnlock(Waiter& w, cell target) {
    return [&w, target](emu::Call& c) {
        w.tid = test::osThreadId();
        w.lock = c.native("LockThread", {target});
        w.unlocked = c.native("UnLockThread", {w.lock.load()});
    };
}

enum class ThreadEnd { Destroy, Tick, AmxUnload };

class LockedThreadEnds : public PluginTest, public ::testing::WithParamInterface<ThreadEnd> {};

// Thread 1 lives in a script of its own; the main script holds its mutex and a
// worker waits for it when thread 1 goes.
TEST_P(LockedThreadEnds, HeldAndAwaitedLocksOutliveIt) {
    auto& waiter = keep<Waiter>();
    emu::Script& targets = load({{"Sleep", sleepForever()}, {"Quick", [](emu::Call&) {}}});
    emu::Script& script = load({{"Wait", lockAndUnlock(waiter, 1)}});
    bool once = GetParam() == ThreadEnd::Tick;
    EXPECT_EQ(start(targets, once ? "Quick" : "Sleep", once ? "CreateThreadEx" : "CreateThread"),
              1);
    EXPECT_EQ(call(script, "LockThread", {1}), 1);
    if (once) {
        ASSERT_TRUE(workersEnded());  // queued for the tick
    }
    EXPECT_EQ(startOnce(script, "Wait"), 2);
    ASSERT_TRUE(test::blocks(waiter.tid));

    switch (GetParam()) {
        case ThreadEnd::Destroy:
            EXPECT_EQ(call(script, "DestroyThread", {1}), 1);
            break;
        case ThreadEnd::Tick:
            host->tick();
            EXPECT_EQ(call(script, "DestroyThread", {1}), 0) << "the tick reaped thread 1";
            break;
        case ThreadEnd::AmxUnload:
            EXPECT_EQ(host->unloadScript(targets), AMX_ERR_NONE);
            break;
    }
    EXPECT_EQ(waiter.lock, 0);
    EXPECT_EQ(call(script, "UnLockThread", {1}), 1);
    ASSERT_TRUE(test::eventually([&] { return waiter.unlocked != -1; }));
    EXPECT_EQ(waiter.lock, 1);
    EXPECT_EQ(waiter.unlocked, 1);
}

INSTANTIATE_TEST_SUITE_P(Locks, LockedThreadEnds,
                         ::testing::Values(ThreadEnd::Destroy, ThreadEnd::Tick,
                                           ThreadEnd::AmxUnload));

// A destroyed thread's mutex that a lock still holds goes to no other thread:
// the thread that takes its id gets a mutex of its own, and the held one is
// handed on only once it is released.
TEST_F(PluginTest, AHeldMutexOfADestroyedThreadGoesToNoOtherThread) {
    auto& waiter = keep<Waiter>();
    emu::Script& script = load({{"Sleep", sleepForever()}, {"Wait", lockAndUnlock(waiter, 1)}});
    EXPECT_EQ(start(script, "Sleep"), 1);
    EXPECT_EQ(call(script, "LockThread", {1}), 1);
    EXPECT_EQ(call(script, "DestroyThread", {1}), 1);
    EXPECT_EQ(start(script, "Sleep"), 1);
    EXPECT_EQ(startOnce(script, "Wait"), 2);
    ASSERT_TRUE(test::eventually([&] { return waiter.unlocked != -1; }))
        << "the new thread 1 has the old one's held mutex";
    EXPECT_EQ(waiter.lock, 2);
    EXPECT_EQ(waiter.unlocked, 1);
    // Released, both mutexes are free for later threads.
    EXPECT_EQ(call(script, "UnLockThread", {1}), 1);
    EXPECT_EQ(call(script, "DestroyThread", {1}), 1);
    for (cell lock : {1, 2}) {
        cell id = start(script, "Sleep");
        ASSERT_GT(id, 0);
        EXPECT_EQ(call(script, "LockThread", {id}), lock);
    }
}

// The unloaded script can never release its locks: AmxUnload gives back those
// its main script and its workers took, and waiters elsewhere go on.
TEST_F(PluginTest, AmxUnloadReleasesTheLocksOfThatScript) {
    auto& waiters = keep<std::array<Waiter, 2>>();
    auto& held = keep<std::atomic<cell>>();
    emu::Script& script = load({{"Hold", [&held](emu::Call& c) {
                                     held = c.native("LockThread", {2});
                                     c.native("SleepThread", {test::kLongSleep});
                                 }}});
    // The other scripts, each with one thread.
    EXPECT_EQ(start(load({{"Sleep", sleepForever()}}), "Sleep"), 1);
    EXPECT_EQ(start(load({{"Sleep", sleepForever()}}), "Sleep"), 2);
    EXPECT_EQ(call(script, "LockThread", {1}), 1);
    EXPECT_EQ(start(script, "Hold"), 3);
    ASSERT_TRUE(test::eventually([&] { return held == 2; }));
    EXPECT_EQ(startOnce(load({{"Wait1", lockAndUnlock(waiters[0], 1)}}), "Wait1"), 4);
    EXPECT_EQ(startOnce(load({{"Wait2", lockAndUnlock(waiters[1], 2)}}), "Wait2"), 5);
    ASSERT_TRUE(test::blocks(waiters[0].tid));
    ASSERT_TRUE(test::blocks(waiters[1].tid));

    EXPECT_EQ(host->unloadScript(script), AMX_ERR_NONE);
    ASSERT_TRUE(
        test::eventually([&] { return waiters[0].unlocked != -1 && waiters[1].unlocked != -1; }));
    for (Waiter& waiter : waiters) {
        EXPECT_GT(waiter.lock, 0);
        EXPECT_EQ(waiter.unlocked, 1);
    }
}

// A lock taken in another script's code, by a worker that CallRemoteFunction
// ran there, is that script's: its unload gives it back while the worker runs
// on in its own.
TEST_F(PluginTest, ALockTakenInAnotherScriptsCodeGoesWithThatScript) {
    struct Visit {
        std::atomic<cell> lock{0};
        // Out of the other script's code, which its unload must not meet.
        std::atomic<bool> back{false};
    };
    auto& visit = keep<Visit>();
    emu::Script& targets = load({{"Sleep", sleepForever()}});
    emu::Script& visited =
        load({{"Take", [&visit](emu::Call& c) { visit.lock = c.native("LockThread", {1}); }}});
    emu::Script& visitor = load({{"Visit", [&visit](emu::Call& c) {
                                      c.native("CallRemoteFunction", {emu::str("Take")});
                                      visit.back = true;
                                      c.native("SleepThread", {test::kLongSleep});
                                  }}});
    EXPECT_EQ(start(targets, "Sleep"), 1);
    EXPECT_EQ(start(visitor, "Visit"), 2);
    ASSERT_TRUE(test::eventually([&] { return visit.back.load(); }));
    EXPECT_EQ(visit.lock, 1);
    EXPECT_EQ(host->unloadScript(visited), AMX_ERR_NONE);
    EXPECT_EQ(call(targets, "UnLockThread", {1}), 0) << "the lock outlived its script";
    EXPECT_EQ(call(targets, "LockThread", {1}), 1);
    EXPECT_TRUE(threadExists(2));
}

// DestroyThread does not cut a LockThread wait short: the destroyed waiter gets
// its lock and runs on to its return, taking a lock again on the way, and the
// destroyer returns only after that.
TEST_F(PluginTest, DestroyingALockWaiterReturnsOnceItsPublicHasReturned) {
    struct Seen {
        std::atomic<pid_t> tid{0};
        std::atomic<cell> first{0};
        std::atomic<cell> again{0};
        std::atomic<bool> returned{false};
    };
    auto& seen = keep<Seen>();
    emu::Script& holder = load();
    emu::Script& script = load({{"Wait", [&seen](emu::Call& c) {
                                     seen.tid = test::osThreadId();
                                     seen.first = c.native("LockThread", {1});
                                     c.native("UnLockThread", {seen.first.load()});
                                     seen.again = c.native("LockThread", {1});
                                     c.native("UnLockThread", {seen.again.load()});
                                     seen.returned = true;
                                 }}});
    EXPECT_EQ(start(load({{"Sleep", sleepForever()}}), "Sleep"), 1);
    EXPECT_EQ(call(holder, "LockThread", {1}), 1);
    EXPECT_EQ(startOnce(script, "Wait"), 2);
    ASSERT_TRUE(test::blocks(seen.tid));

    test::RacingDestroys destroys(observer(), load(), 2, [&seen](cell result) {
        EXPECT_TRUE(result == 0 || seen.returned) << "DestroyThread returned before the public did";
    });
    EXPECT_TRUE(destroys.loserReturned());
    EXPECT_EQ(call(holder, "UnLockThread", {1}), 1);
    EXPECT_TRUE(destroys.exactlyOneDestroyed());
    EXPECT_EQ(seen.first, 1);
    EXPECT_EQ(seen.again, 1);
    EXPECT_EQ(call(holder, "LockThread", {1}), 1);
    EXPECT_TRUE(workersEnded(1));
}

}  // namespace
