// Unloading one script, and then the plugin, while workers of every kind
// still run: none may outlive what it runs against.
#include "tests/support.h"

namespace {

using test::PluginTest;

// Workers in every state a teardown can find them in.
struct Workload {
    std::atomic<int> sleeping{0};
    std::atomic<int> spins{0};
    std::atomic<int> selfDestroyed{0};
    std::atomic<int> quickRuns{0};
    std::atomic<int> spawned{0};
    std::atomic<int> lockWaiting{0};
    std::atomic<int> pastTheirEnd{0};
};

// Counts a public that ran on past the native that ended it. Another
// worker's first call of a call site clears the machine's one error field on
// the SA-MP server, which can wipe an end before the machine reads it: the
// public then ends at its next native of the plugin.
void pastTheEnd(emu::Call& c, Workload& w) {
    c.native("SleepThread", {0});
    ++w.pastTheirEnd;
}

std::vector<std::pair<std::string, emu::Public>> workloadPublics(Workload& w, test::Gate& go) {
    return {
        {"Sleep",
         [&w](emu::Call& c) {
             ++w.sleeping;
             c.native("SleepThread", {test::kLongSleep});
             pastTheEnd(c, w);
         }},
        {"Spin", [&w](emu::Call&) { ++w.spins; }},
        {"Self",
         [&w, &go](emu::Call& c) {
             c.native("SleepThread", {0});
             go.wait();
             ++w.selfDestroyed;
             c.native("DestroyThread", {c.arg(0)});
             pastTheEnd(c, w);
         }},
        {"Quick", [&w](emu::Call&) { ++w.quickRuns; }},
        {"Spawn",
         [&w](emu::Call& c) {
             c.native("CreateThreadEx", {emu::str("Quick")});
             ++w.spawned;
             c.native("SleepThread", {1});
         }},
        // Waits for thread 1, which the main script holds locked.
        {"Lock",
         [&w](emu::Call& c) {
             ++w.lockWaiting;
             c.native("LockThread", {1});
             pastTheEnd(c, w);
         }},
    };
}

// Several workers of one script run its code at once, each on a machine of
// its own.
emu::ScriptDefinition workloadScript(Workload& w, test::Gate& go) {
    return {workloadPublics(w, go), test::kAllNatives};
}

// Starts one worker of every kind in the script; thread 1 sleeps and is locked.
void startWorkload(emu::Script& script, Workload& w, test::Gate& go) {
    EXPECT_EQ(script.run([](emu::Call& c) {
        EXPECT_GT(c.native("CreateThread", {emu::str("Sleep")}), 0);
        EXPECT_GT(c.native("LockThread", {1}), 0);
        for (const char* name : {"Spin", "Self", "Lock", "Spawn"}) {
            EXPECT_GT(c.native("CreateThread", {emu::str(name)}), 0) << name;
        }
        EXPECT_GT(c.native("CreateThreadEx", {emu::str("Quick")}), 0);
        c.native("SleepThread", {0});
    }),
              AMX_ERR_NONE);
    // The self-destroying public abandons its code in this machine: only now
    // that the main script has left it.
    go.open();
    ASSERT_TRUE(test::eventually([&] {
        return w.sleeping >= 1 && w.spins >= 10 && w.selfDestroyed >= 1 && w.quickRuns >= 3 &&
               w.spawned >= 3 && w.lockWaiting >= 1;
    }));
}

TEST_F(PluginTest, AmxUnloadStopsThatMachinesThreadsOnly) {
    breaksRule("several workers of one script run its code at once");
    auto& other = keep<std::atomic<int>>();
    emu::Script& survivor = load({{"Count", [&other](emu::Call& c) {
                                       for (;;) {
                                           ++other;
                                           c.native("SleepThread", {1});
                                       }
                                   }}});
    EXPECT_EQ(start(survivor, "Count"), 1);

    auto& workload = keep<Workload>();
    test::Gate& go = gate();
    emu::Script& script = host->loadScript(workloadScript(workload, go));
    // Thread 1 here is the survivor's: the workload locks its mutex.
    startWorkload(script, workload, go);

    EXPECT_EQ(host->unloadScript(script), AMX_ERR_NONE);
    EXPECT_TRUE(host->faults().empty());
    EXPECT_EQ(workload.pastTheirEnd, 0);
    EXPECT_TRUE(workersEnded(1));

    int before = other;
    ASSERT_TRUE(test::eventually([&] { return other > before; }));
    for (int i = 0; i < 20; ++i) {
        host->tick();
    }
    EXPECT_TRUE(threadExists(1));
    EXPECT_EQ(call(survivor, "CreateThreadEx", {emu::str("Count")}), 2);
}

// A worker of another script asleep in the unloaded script's code must be
// out of it before the server frees the machine. (A worker running that code
// outside the plugin's natives is beyond the plugin's reach.)
TEST_F(PluginTest, AmxUnloadWaitsForAWorkerOfAnotherScriptInsideIt) {
    breaksRule("a worker calls a native of the server");
    auto& inner = keep<std::atomic<int>>();
    auto& tid = keep<std::atomic<pid_t>>();
    emu::Script& unloaded = load({{"Inner", [&inner, &tid](emu::Call& c) {
                                       ++inner;
                                       tid = test::osThreadId();
                                       c.native("SleepThread", {test::kLongSleep});
                                       ++inner;
                                   }}});
    emu::Script& script = load(
        {{"Outer", [](emu::Call& c) { c.native("CallRemoteFunction", {emu::str("Inner")}); }}});
    EXPECT_EQ(start(script, "Outer"), 1);
    ASSERT_TRUE(test::blocks(tid));
    EXPECT_EQ(host->unloadScript(unloaded), AMX_ERR_NONE);
    EXPECT_TRUE(host->faults().empty());
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(test::machineError(script), AMX_ERR_NONE);
    EXPECT_TRUE(workersEnded());
}

// reloadfs, and open.mp's reload, unload a script and load it again in the
// same machine: nothing of the old run may reach the new one.
TEST_F(PluginTest, AScriptReloadedInItsMachineStartsAfresh) {
    auto& pastTheirEnd = keep<std::atomic<int>>();
    emu::Script& script = load({{"Sleep",
                                 [&pastTheirEnd](emu::Call& c) {
                                     c.native("SleepThread", {test::kLongSleep});
                                     ++pastTheirEnd;
                                 }},
                                {"Quick", [](emu::Call&) {}}});
    auto startRun = [&](cell firstId) {
        run(script, [firstId](emu::Call& c) {
            EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), firstId);
            EXPECT_EQ(c.native("CreateThreadEx", {emu::str("Quick")}), firstId + 1);
            EXPECT_EQ(c.native("LockThread", {firstId}), 1);
            c.native("SleepThread", {0});
        });
        // The single-shot thread's id waits for a tick.
        ASSERT_TRUE(workersEnded(1));
    };
    startRun(1);
    EXPECT_EQ(host->amxUnload(script), AMX_ERR_NONE);
    EXPECT_TRUE(workersEnded());
    host->tick();
    EXPECT_EQ(host->amxLoad(script), AMX_ERR_NONE);
    EXPECT_FALSE(threadExists(1));
    EXPECT_FALSE(threadExists(2));
    // The old run's finished id 2 now names the new run's sleeper: a tick must
    // leave it alone.
    EXPECT_EQ(startOnce(script, "Quick"), 1);
    ASSERT_TRUE(workersEnded());
    startRun(2);
    host->tick();
    host->tick();
    EXPECT_EQ(call(script, "UnLockThread", {1}), 1);
    EXPECT_FALSE(threadExists(1));
    EXPECT_TRUE(threadExists(2));
    EXPECT_FALSE(threadExists(3));
    EXPECT_EQ(pastTheirEnd, 0);
}

TEST_F(PluginTest, UnloadJoinsEveryWorkerAndTheCycleRepeats) {
    breaksRule("several workers of one script run its code at once");
    for (int cycle = 0; cycle < 2; ++cycle) {
        if (cycle > 0) {
            ASSERT_TRUE(host->load());
        }
        auto& workload = keep<Workload>();
        test::Gate& go = gate();
        emu::Script& script = host->loadScript(workloadScript(workload, go));
        startWorkload(script, workload, go);
        host->unload();
        EXPECT_TRUE(workersEnded());
        EXPECT_TRUE(host->faults().empty());
        EXPECT_EQ(workload.pastTheirEnd, 0);
        std::vector<std::string> log = host->log();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], " Vantrel plugin v" VANTREL_VERSION " unloaded");
    }
}

}  // namespace
