// DestroyThread of workers that sleep, work, destroy themselves or are
// destroying another thread, and what the machine is left with afterwards.
#include "tests/support.h"

namespace {

using test::PluginTest;

struct Progress {
    std::atomic<int> entered{0};
    std::atomic<pid_t> tid{0};
    std::atomic<int> returnedFromNative{0};
};

// Enters, calls the native, and counts a return from it that must not happen.
emu::Public stopsIn(Progress& progress, std::string native, cell argument) {
    return [&progress, native, argument](emu::Call& c) {
        ++progress.entered;
        progress.tid = test::osThreadId();
        c.native(native, {argument == 0 ? c.arg(0) : argument});
        ++progress.returnedFromNative;
    };
}

TEST_F(PluginTest, DestroyingSleepingWorkersEndsThemAndLeavesTheMachineUsable) {
    auto& progress = keep<Progress>();
    auto& quickRuns = keep<std::atomic<int>>();
    emu::Script& script = load({{"Sleep", stopsIn(progress, "SleepThread", test::kLongSleep)},
                                {"Quick", [&quickRuns](emu::Call&) { ++quickRuns; }}});
    run(script, [](emu::Call& c) {
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 1);
        EXPECT_EQ(c.native("CreateThreadEx", {emu::str("Sleep")}), 2);
    });
    EXPECT_TRUE(test::eventually([&] { return progress.entered == 2; }));

    // The same machine: the workers abandon their publics in it, and this code
    // must go on past DestroyThread and the next native.
    bool ranToEnd = false;
    run(script, [&](emu::Call& c) {
        EXPECT_EQ(c.native("DestroyThread", {1}), 1);
        EXPECT_EQ(c.native("DestroyThread", {2}), 1);
        EXPECT_EQ(c.native("SleepThread", {0}), 1);
        ranToEnd = true;
    });
    EXPECT_TRUE(ranToEnd);
    EXPECT_EQ(test::machineError(script), AMX_ERR_NONE);
    EXPECT_EQ(progress.returnedFromNative, 0);
    EXPECT_TRUE(workersEnded());

    // The single-shot thread queued nothing: the first tick reaps the next one.
    EXPECT_EQ(startOnce(script, "Quick"), 1);
    ASSERT_TRUE(workersEnded());
    host->tick();
    EXPECT_FALSE(threadExists(1));
    EXPECT_EQ(quickRuns, 1);
}

TEST_F(PluginTest, SleepThreadZeroEndsAWorkerBeingDestroyed) {
    auto& progress = keep<Progress>();
    emu::Script& script = load({{"Spin", [&progress](emu::Call& c) {
                                     ++progress.entered;
                                     // Bounded, so that a worker the destroy
                                     // cannot end fails the test instead of
                                     // hanging it.
                                     auto end = std::chrono::steady_clock::now() + test::kDeadline;
                                     while (std::chrono::steady_clock::now() < end) {
                                         c.native("SleepThread", {0});
                                     }
                                     ++progress.returnedFromNative;
                                 }}});
    EXPECT_EQ(start(script, "Spin"), 1);
    EXPECT_TRUE(test::eventually([&] { return progress.entered == 1; }));
    EXPECT_EQ(call(script, "DestroyThread", {1}), 1);
    EXPECT_EQ(progress.returnedFromNative, 0);
    EXPECT_EQ(progress.entered, 1);
}

// Two destroyers race for one busy worker: the loser returns 0 at once, the
// winner only after the public has returned.
TEST_F(PluginTest, DestroyingABusyWorkerWaitsForItsPublicAndFreesItOnce) {
    auto& entered = keep<std::atomic<bool>>();
    auto& returned = keep<std::atomic<bool>>();
    test::Gate& busy = gate();
    emu::Script& script = load({{"Busy", [&busy, &entered, &returned](emu::Call&) {
                                     entered = true;
                                     busy.wait();
                                     returned = true;
                                 }}});
    // Its public reaches no native: it starts at the tick after this code.
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Busy")}), 1);
    host->tick();
    ASSERT_TRUE(test::eventually([&] { return entered.load(); }));
    test::RacingDestroys destroys(observer(), load(), 1, [&](cell result) {
        EXPECT_TRUE(result == 0 || returned) << "DestroyThread returned before the public did";
    });
    EXPECT_TRUE(destroys.loserReturned());
    busy.open();
    EXPECT_TRUE(destroys.exactlyOneDestroyed());
    EXPECT_TRUE(workersEnded());
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Busy")}), 1);
}

TEST_F(PluginTest, SelfDestroyFreesTheIdAtOnceAndEndsThePublic) {
    auto& progress = keep<Progress>();
    auto& quickRuns = keep<std::atomic<int>>();
    test::Gate& go = gate();
    emu::Public destroySelf = stopsIn(progress, "DestroyThread", 0);
    auto selfScript = [&] {
        return std::vector<std::pair<std::string, emu::Public>>{
            {"Self",
             [&go, destroySelf](emu::Call& c) {
                 c.native("SleepThread", {0});
                 go.wait();
                 destroySelf(c);
             }},
            {"Quick", [&quickRuns](emu::Call&) { ++quickRuns; }}};
    };
    emu::Script& looping = load(selfScript());
    emu::Script& once = load(selfScript());
    EXPECT_EQ(start(looping, "Self"), 1);
    EXPECT_EQ(startOnce(once, "Self"), 2);
    go.open();
    // No tick: the ids come free by themselves.
    ASSERT_TRUE(test::eventually([&] { return !threadExists(1) && !threadExists(2); }));
    ASSERT_TRUE(workersEnded());
    EXPECT_EQ(progress.entered, 2) << "a destroyed loop thread called its public again";
    EXPECT_EQ(progress.returnedFromNative, 0);
    EXPECT_EQ(test::machineError(looping), AMX_ERR_NONE);
    EXPECT_EQ(test::machineError(once), AMX_ERR_NONE);

    // Nothing was queued: the first tick reaps the next finished thread.
    EXPECT_EQ(startOnce(looping, "Quick"), 1);
    ASSERT_TRUE(workersEnded());
    host->tick();
    EXPECT_FALSE(threadExists(1));
}

// The public destroys its own thread while another caller is already
// destroying it: it must still end at that call.
TEST_F(PluginTest, SelfDestroyDuringAnotherDestroyStillEndsThePublic) {
    auto& progress = keep<Progress>();
    auto& atGate = keep<std::atomic<bool>>();
    test::Gate& go = gate();
    emu::Public destroySelf = stopsIn(progress, "DestroyThread", 0);
    emu::Script& script = load({{"Self", [&go, &atGate, destroySelf](emu::Call& c) {
                                     c.native("SleepThread", {0});
                                     atGate = true;
                                     go.wait();
                                     destroySelf(c);
                                 }}});
    EXPECT_EQ(start(script, "Self"), 1);
    ASSERT_TRUE(test::eventually([&] { return atGate.load(); }));
    test::RacingDestroys destroys(observer(), load(), 1);
    EXPECT_TRUE(destroys.loserReturned());
    go.open();
    EXPECT_TRUE(destroys.exactlyOneDestroyed());
    EXPECT_EQ(progress.entered, 1);
    EXPECT_EQ(progress.returnedFromNative, 0);
}

// A worker whose public runs a public of another script (the server's
// CallRemoteFunction) is destroyed while that one sleeps: nothing more of
// either script runs on the worker, and both machines are usable afterwards.
TEST_F(PluginTest, DestroyingAWorkerInsideAnotherScriptEndsBothPublics) {
    breaksRule("a worker calls a native of the server");
    auto& inner = keep<Progress>();
    auto& outerRanOn = keep<std::atomic<int>>();
    emu::Script& other = load({{"Inner", stopsIn(inner, "SleepThread", test::kLongSleep)}});
    emu::Script& script = load({{"Outer", [&outerRanOn](emu::Call& c) {
                                     c.native("CallRemoteFunction", {emu::str("Inner")});
                                     ++outerRanOn;
                                 }}});
    EXPECT_EQ(start(script, "Outer"), 1);
    ASSERT_TRUE(test::blocks(inner.tid));
    EXPECT_EQ(call(script, "DestroyThread", {1}), 1);
    EXPECT_EQ(inner.returnedFromNative, 0);
    EXPECT_EQ(outerRanOn, 0);
    EXPECT_EQ(test::machineError(other), AMX_ERR_NONE);
    EXPECT_EQ(test::machineError(script), AMX_ERR_NONE);
    EXPECT_EQ(call(other, "SleepThread", {0}), 1);
}

// The server's CallRemoteFunction runs the public of every script that has
// it, so after one script's copy has been ended, the next one's starts on
// the destroyed worker: its first sleep ends it as well, however many
// scripts there are.
TEST_F(PluginTest, ADestroyedWorkerEndsAtTheSleepOfEveryScriptItRunsInto) {
    breaksRule("a worker calls a native of the server");
    auto& hooks = keep<std::array<Progress, 12>>();
    std::vector<emu::Script*> machines;
    for (Progress& hook : hooks) {
        machines.push_back(&load({{"Hook", stopsIn(hook, "SleepThread", test::kLongSleep)}}));
    }
    emu::Script& script =
        load({{"Outer", [](emu::Call& c) { c.native("CallRemoteFunction", {emu::str("Hook")}); }}});
    machines.push_back(&script);
    EXPECT_EQ(start(script, "Outer"), 1);
    ASSERT_TRUE(test::blocks(hooks[0].tid));
    EXPECT_EQ(call(script, "DestroyThread", {1}), 1);
    for (const Progress& hook : hooks) {
        EXPECT_EQ(hook.entered, 1);
        EXPECT_EQ(hook.returnedFromNative, 0);
    }
    for (emu::Script* machine : machines) {
        EXPECT_EQ(test::machineError(*machine), AMX_ERR_NONE);
    }
    EXPECT_TRUE(workersEnded());
}

// A tick must destroy only the thread that queued the id, never a newer one
// that was given the id after the script destroyed the first.
TEST_F(PluginTest, StaleQueueEntryLeavesANewerThreadAlone) {
    auto& progress = keep<Progress>();
    emu::Script& script = load({{"Quick", [](emu::Call&) {}},
                                {"Sleep", stopsIn(progress, "SleepThread", test::kLongSleep)}});
    EXPECT_EQ(startOnce(script, "Quick"), 1);
    ASSERT_TRUE(workersEnded());
    run(script, [](emu::Call& c) {
        EXPECT_EQ(c.native("DestroyThread", {1}), 1);
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 1);
    });
    // The first tick starts the sleeper, which this code left without
    // waiting for it.
    for (int i = 0; i < 3; ++i) {
        host->tick();
    }
    ASSERT_TRUE(test::eventually([&] { return progress.entered == 1; }));
    EXPECT_TRUE(threadExists(1));
    EXPECT_EQ(progress.returnedFromNative, 0);
}

// Worker 2 waits inside DestroyThread(1) while 1's public is busy; then 2
// itself is destroyed. Thread 1 must be gone completely before 2's public ends.
TEST_F(PluginTest, WorkerDestroyedWhileDestroyingAnotherFinishesThatFirst) {
    auto& busyEntered = keep<std::atomic<bool>>();
    auto& busyReturned = keep<std::atomic<bool>>();
    auto& progress = keep<Progress>();
    test::Gate& busy = gate();
    emu::Script& script = load({{"Busy", [&busy, &busyEntered, &busyReturned](emu::Call&) {
                                     busyEntered = true;
                                     busy.wait();
                                     busyReturned = true;
                                 }}});
    emu::Script& destroyer = load({{"Destroyer", stopsIn(progress, "DestroyThread", 1)}});
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Busy")}), 1);
    host->tick();
    ASSERT_TRUE(test::eventually([&] { return busyEntered.load(); }));
    EXPECT_EQ(start(destroyer, "Destroyer"), 2);
    ASSERT_TRUE(test::blocks(progress.tid));

    test::RacingDestroys destroys(observer(), load(), 2);
    EXPECT_TRUE(destroys.loserReturned());
    EXPECT_TRUE(threadExists(1));
    busy.open();
    EXPECT_TRUE(destroys.exactlyOneDestroyed());
    EXPECT_TRUE(busyReturned);
    EXPECT_EQ(progress.returnedFromNative, 0);
    EXPECT_FALSE(threadExists(1));
    EXPECT_FALSE(threadExists(2));
    EXPECT_TRUE(workersEnded());
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Busy")}), 1);
}

}  // namespace
