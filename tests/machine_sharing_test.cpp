// What the plugin guarantees on a script machine that its workers share with
// the server's code, for the scripts that keep it: one stack and one register
// set, and one error field.
#include <algorithm>

#include "tests/support.h"
#include "tests/watchdog.h"

namespace {

using test::PluginTest;

// The OS thread that started after the ids in before were taken.
pid_t newThread(const std::vector<int>& before) {
    pid_t found = 0;
    test::eventually([&] {
        for (int id : emu::processThreadIds()) {
            if (std::find(before.begin(), before.end(), id) == before.end()) {
                found = static_cast<pid_t>(id);
            }
        }
        return found != 0;
    });
    return found;
}

// The creating code runs script code between CreateThreadEx and its sleep
// for as long as a worker needs to push its argument, and the worker takes
// the registers only once that code has written its own back at the sleep:
// the worst moments. A worker started at once would take the sleep's
// argument cells for its own.
TEST_F(PluginTest, ANewWorkerStartsOnlyWhileItsCreatorWaitsInANative) {
    auto& received = keep<std::atomic<cell>>();
    auto& creatorAsleep = keep<std::atomic<bool>>();
    emu::Script& script = loadShared({{"Work", [&received](emu::Call& c) {
                                           received = c.arg(0);
                                           c.native("SleepThread", {test::kLongSleep});
                                       }}});
    std::thread::id creator = std::this_thread::get_id();
    script.atNativeCall = [&creatorAsleep, creator](const std::string& native) {
        if (native == "SleepThread" && std::this_thread::get_id() == creator) {
            creatorAsleep = true;
        }
    };
    script.beforeExecution = [&creatorAsleep, creator] {
        if (std::this_thread::get_id() != creator) {
            test::eventually([&] { return creatorAsleep.load(); });
        }
    };
    std::vector<int> before = emu::processThreadIds();
    cell id = 0;
    run(script, [&](emu::Call& c) {
        id = c.native("CreateThreadEx", {emu::str("Work")});
        std::atomic<pid_t> worker{newThread(before)};
        std::atomic<bool> held{false};
        std::thread watch([&] { held = test::blocks(worker); });
        EXPECT_TRUE(test::eventually([&] { return script.pushes() > 0 || held; }));
        watch.join();
        c.native("SleepThread", {30});
    });
    EXPECT_EQ(received, id);
}

// Code that never waits after CreateThread: the new worker starts once that
// code has returned, at the next tick for the server's code and when its
// public returns for a worker's.
TEST_F(PluginTest, AWorkerWhoseCreatorNeverWaitsStartsOnceItsCreatorHasReturned) {
    struct Seen {
        std::atomic<int> childRuns{0};
        std::atomic<cell> spawned{0};
        std::atomic<pid_t> spawner{0};
    };
    auto& seen = keep<Seen>();
    test::Gate& spawning = gate();
    emu::Script& script = loadShared({{"Child", [&seen](emu::Call&) { ++seen.childRuns; }},
                                      {"Spawner", [&seen, &spawning](emu::Call& c) {
                                           seen.spawner = test::osThreadId();
                                           seen.spawned =
                                               c.native("CreateThreadEx", {emu::str("Child")});
                                           spawning.wait();
                                       }}});
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Child")}), 1);
    EXPECT_EQ(script.pushes(), 0);
    host->tick();
    // Gone before this code runs in its script again.
    ASSERT_TRUE(workersEnded());
    EXPECT_EQ(seen.childRuns, 1);

    std::vector<int> before = emu::processThreadIds();
    EXPECT_EQ(startOnce(script, "Spawner"), 2);
    ASSERT_TRUE(test::eventually([&] { return seen.spawned != 0; }));
    before.push_back(seen.spawner);
    std::atomic<pid_t> child{newThread(before)};
    ASSERT_TRUE(test::blocks(child));
    EXPECT_EQ(script.pushes(), 2) << "the child started while its creator ran";
    spawning.open();
    ASSERT_TRUE(test::eventually([&] { return seen.childRuns == 2; }));
}

// open.mp clears a machine's error field before every native call, on any
// thread: another thread's native can wipe the error that ends a worker's
// public before the machine reads it. The public runs on to its next native
// of the plugin, which must end it again before it does anything: here take
// a lock that nobody would ever give back.
TEST_F(PluginTest, AnEndThatAnotherThreadsNativeWipedEndsThePublicAtItsNextNative) {
    host->actAsOpenMp();
    struct Seen {
        std::atomic<int> sleeps{0};
        std::atomic<int> pastTheEnd{0};
        std::atomic<bool> wiped{false};
    };
    auto& seen = keep<Seen>();
    emu::Script& script =
        loadShared({{"Work", [&seen](emu::Call& c) {
                         // Bounded, so that a lost end fails the test
                         // instead of hanging it.
                         for (int i = 0; i < 1000; ++i) {
                             ++seen.sleeps;
                             c.native("SleepThread", {test::kLongSleep});
                             c.native("UnLockThread", {c.native("LockThread", {1})});
                             ++seen.pastTheEnd;
                         }
                     }}});
    host->afterRaiseError = [&seen, &script](AMX* amx, int) {
        if (amx == script.amx() && !seen.wiped.exchange(true)) {
            test::AsyncRun(script, [](emu::Call& c) { c.native("UnLockThread", {0}); }).join();
        }
    };
    EXPECT_EQ(start(loadShared({{"Sleep", test::sleepForever()}}), "Sleep"), 1);
    EXPECT_EQ(start(script, "Work"), 2);
    EXPECT_EQ(call(observer(), "DestroyThread", {2}), 1);
    EXPECT_TRUE(seen.wiped);
    EXPECT_EQ(seen.sleeps, 1);
    EXPECT_EQ(seen.pastTheEnd, 0);
    EXPECT_EQ(call(observer(), "UnLockThread", {1}), 0) << "the ended public took a lock";
    EXPECT_EQ(test::machineError(script), AMX_ERR_NONE);
}

// A worker's sleep waits for the worker it created to reach a native; a
// destruction that comes meanwhile still ends its public at that sleep.
TEST_F(PluginTest, AStopWhileACreatorWaitsForItsNewWorkerEndsTheCreatorsPublic) {
    breaksRule("two workers of one script");
    struct Seen {
        std::atomic<pid_t> parent{0};
        std::atomic<pid_t> destroyer{0};
        std::atomic<int> pastTheSleep{0};
    };
    auto& seen = keep<Seen>();
    test::Gate& childGo = gate();
    emu::Script& script = loadShared({{"Child",
                                       [&childGo](emu::Call& c) {
                                           childGo.wait();
                                           c.native("SleepThread", {0});
                                       }},
                                      {"Parent", [&seen](emu::Call& c) {
                                           seen.parent = test::osThreadId();
                                           c.native("CreateThreadEx", {emu::str("Child")});
                                           c.native("SleepThread", {0});
                                           ++seen.pastTheSleep;
                                       }}});
    EXPECT_EQ(startOnce(script, "Parent"), 1);
    ASSERT_TRUE(test::blocks(seen.parent));
    test::AsyncRun destroy(observer(), [&seen](emu::Call& c) {
        seen.destroyer = test::osThreadId();
        EXPECT_EQ(c.native("DestroyThread", {1}), 1);
    });
    ASSERT_TRUE(test::blocks(seen.destroyer));
    childGo.open();
    EXPECT_EQ(destroy.join(), AMX_ERR_NONE);
    EXPECT_EQ(seen.pastTheSleep, 0);
}

// The server's thread runs every script's code: a wait in one script's code
// starts none of the threads that another script's code created without
// waiting, which the next tick starts, and waits for none of them.
TEST_F(PluginTest, AWaitInOneScriptStartsNoneOfAnotherScriptsNewWorkers) {
    struct Seen {
        std::atomic<bool> started{false};
        std::atomic<bool> released{false};
    };
    auto& seen = keep<Seen>();
    emu::Script& creator = loadShared({{"Busy", [&seen](emu::Call&) {
                                            seen.started = true;
                                            // Bounded, so that a wait held by it fails
                                            // the test instead of hanging it.
                                            test::eventually([&] { return seen.released.load(); });
                                        }}});
    EXPECT_EQ(call(creator, "CreateThreadEx", {emu::str("Busy")}), 1);
    EXPECT_EQ(call(observer(), "SleepThread", {0}), 1);
    EXPECT_FALSE(seen.started);
    seen.released = true;
    host->tick();
    EXPECT_TRUE(test::eventually([&] { return seen.started.load(); }));
}

// Scripts M, N and A, loaded in that order. A's worker runs every script's
// Hook (the server's CallRemoteFunction): M's sleeps; N's waits for a lock
// that main-thread code of N holds. AmxUnload(M) ends the worker's public,
// and the server goes on to N's Hook on the stopped worker: that one must not
// wait, since AmxUnload(M) waits for the worker and the lock's holder cannot
// run before it returns.
TEST_F(PluginTest, NoUnloadWaitsForAWorkerThatWaitsForTheServersCode) {
    breaksRule("a worker calls a native of the server");
    test::Watchdog watchdog("unload-waits-for-waiter", std::chrono::seconds(10),
                            std::chrono::seconds(60));
    struct Seen {
        std::atomic<pid_t> tid{0};
        std::atomic<int> lockers{0};
        std::atomic<int> pastTheEnd{0};
    };
    auto& seen = keep<Seen>();
    emu::Script& m = loadShared({{"Hook", [&seen](emu::Call& c) {
                                      seen.tid = test::osThreadId();
                                      c.native("SleepThread", {test::kLongSleep});
                                      ++seen.pastTheEnd;
                                  }}});
    emu::Script& n = loadShared({{"Hook",
                                  [&seen](emu::Call& c) {
                                      ++seen.lockers;
                                      c.native("LockThread", {1});
                                      ++seen.pastTheEnd;
                                  }},
                                 {"Idle", test::sleepForever()}});
    emu::Script& a = loadShared({{"Visit", [&seen](emu::Call& c) {
                                      c.native("CallRemoteFunction", {emu::str("Hook")});
                                      ++seen.pastTheEnd;
                                  }}});
    EXPECT_EQ(start(n, "Idle"), 1);
    EXPECT_EQ(call(n, "LockThread", {1}), 1);
    EXPECT_EQ(start(a, "Visit"), 2);
    ASSERT_TRUE(test::blocks(seen.tid));

    watchdog.phase("AmxUnload of M");
    EXPECT_EQ(host->unloadScript(m), AMX_ERR_NONE);
    watchdog.phase("the visiting worker ends");
    EXPECT_TRUE(test::eventually([&] {
        host->tick();
        return !threadExists(2);
    }));
    EXPECT_EQ(seen.lockers, 1);
    EXPECT_EQ(seen.pastTheEnd, 0);
    EXPECT_EQ(call(n, "UnLockThread", {1}), 1);
}

}  // namespace
