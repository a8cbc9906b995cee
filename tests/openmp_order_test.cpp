// The plugin driven in open.mp's order: the server's natives before AmxLoad,
// the init callback after it, the exit callback and the killing of timers
// before AmxUnload, every script unloaded before Unload, and ProcessTick only
// because Supports announces it. Its machines clear the error field before
// every native; the examples' shapes run there, their workers on machines of
// their own, without a fault.
#include "emuhost/openmp_server.h"
#include "tests/support.h"

namespace {

class OpenMpOrder : public ::testing::Test {
  protected:
    void SetUp() override {
        threadsBeforeLoad = test::threadBaseline();
        ASSERT_GE(threadsBeforeLoad, 0);
        host = std::make_unique<emu::EmulatedHost>(VANTREL_PLUGIN_PATH);
        server = std::make_unique<emu::OpenMpServer>(*host);
        ASSERT_TRUE(server->start());
    }

    void TearDown() override {
        if (host->loaded()) {
            server->shutdown();
        }
        EXPECT_TRUE(host->faults().empty()) << host->faults().front();
        if (overlapExpected) {
            EXPECT_FALSE(host->scriptFaults().empty());
        } else {
            EXPECT_TRUE(host->scriptFaults().empty()) << host->scriptFaults().front();
        }
        server.reset();
        host.reset();
    }

    emu::ScriptDefinition filterscript(std::vector<std::pair<std::string, emu::Public>> publics) {
        std::vector<std::string> natives = test::kAllNatives;
        natives.insert(natives.end(), emu::OpenMpServer::kNatives.begin(),
                       emu::OpenMpServer::kNatives.end());
        return {std::move(publics), natives};
    }

    // Whether a thread has this id, asked from the main thread's code.
    bool threadExists(emu::Script& script, cell id) {
        cell lock = 0;
        script.run([&](emu::Call& c) {
            lock = c.native("LockThread", {id});
            c.native("UnLockThread", {lock});
        });
        return lock != 0;
    }

    // Runs the main loop until cond holds.
    bool ticksUntil(const std::function<bool()>& cond) {
        return test::eventually([&] {
            server->tick();
            return cond();
        });
    }

    std::unique_ptr<emu::EmulatedHost> host;
    std::unique_ptr<emu::OpenMpServer> server;
    int threadsBeforeLoad = 0;
    // The test breaks the include's rules on purpose, and the machine's one
    // stack must show it.
    bool overlapExpected = false;
};

struct Life {
    std::atomic<cell> worker{0};
    std::atomic<int> workerCalls{0};
    std::atomic<int> timerCalls{0};
    std::atomic<int> timerCallsAfterExit{0};
    std::atomic<bool> exited{false};
    std::atomic<cell> destroyedAtExit{-1};
};

// A filterscript that starts a worker and a timer in its init callback, as
// the include's pattern for a timer beside a worker says, and stops the
// worker in its exit callback; the timer takes the worker's lock.
TEST_F(OpenMpOrder, AScriptFromItsInitCallbackToItsExitCallback) {
    Life life;
    emu::Script& script = server->loadScript(filterscript({
        {emu::OpenMpServer::kInitCallback,
         [&life](emu::Call& c) {
             // Both the server's and the plugin's natives are there already.
             EXPECT_NE(c.native("SetTimer", {emu::str("Check"), 10, 1}), 0);
             life.worker = c.native("CreateThread", {emu::str("Work")});
             EXPECT_EQ(c.native("CreateThreadEx", {emu::str("Once")}), 2);
             c.native("SleepThread", {0});
         }},
        {"Work",
         [&life](emu::Call& c) {
             for (;;) {
                 ++life.workerCalls;
                 c.native("SleepThread", {5});
             }
         }},
        {"Once", [](emu::Call&) {}},
        {"Check",
         [&life](emu::Call& c) {
             cell lock = c.native("LockThread", {life.worker.load()});
             ++life.timerCalls;
             life.timerCallsAfterExit += life.exited;
             c.native("UnLockThread", {lock});
         }},
        {emu::OpenMpServer::kExitCallback,
         [&life](emu::Call& c) {
             life.exited = true;
             life.destroyedAtExit = c.native("DestroyThread", {life.worker.load()});
         }},
    }));
    EXPECT_EQ(life.worker, 1);
    ASSERT_TRUE(ticksUntil([&] { return life.timerCalls >= 3 && life.workerCalls >= 3; }));
    // ProcessTick reaped the single-shot thread: its id is free again.
    ASSERT_TRUE(ticksUntil([&] { return !threadExists(script, 2); }));
    EXPECT_GT(server->processTicks(), 0);

    server->unloadScript(script);
    EXPECT_EQ(life.destroyedAtExit, 1);
    for (int i = 0; i < 10; ++i) {
        server->tick();
    }
    EXPECT_EQ(life.timerCallsAfterExit, 0);
}

// Scripts whose exit callbacks leave their workers running and a lock held:
// AmxUnload of each stops them, so that Unload finds nothing left.
TEST_F(OpenMpOrder, ShutdownUnloadsEveryScriptBeforeUnload) {
    std::array<std::atomic<int>, 2> calls{};
    for (std::atomic<int>& called : calls) {
        server->loadScript(filterscript({
            {emu::OpenMpServer::kInitCallback,
             [](emu::Call& c) {
                 cell id = c.native("CreateThread", {emu::str("Work")});
                 EXPECT_NE(c.native("LockThread", {id}), 0);
                 c.native("SleepThread", {0});
             }},
            {"Work",
             [&called](emu::Call& c) {
                 for (;;) {
                     ++called;
                     c.native("SleepThread", {5});
                 }
             }},
            {emu::OpenMpServer::kExitCallback, [](emu::Call&) {}},
        }));
    }
    ASSERT_TRUE(ticksUntil([&] { return calls[0] > 0 && calls[1] > 0; }));

    server->shutdown();
    EXPECT_FALSE(host->loaded());
    EXPECT_TRUE(test::threadsBackTo(threadsBeforeLoad));
    std::vector<std::string> log = host->log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], " Vantrel plugin v" VANTREL_VERSION " unloaded");
}

// The script's variables, which its worker and its timer share.
struct Globals {
    std::atomic<cell> thread{0};
    std::atomic<cell> timer{0};
    std::atomic<int> count{0};
    std::atomic<int> reports{0};
    std::atomic<int> reported{-1};
    std::atomic<cell> destroyed{-1};
    std::atomic<bool> done{false};
    std::atomic<int> found{0};
};

// background_counter.pwn: a worker counts, a timer reports and, after five
// reports, destroys it.
TEST_F(OpenMpOrder, BackgroundCounter) {
    Globals g;
    server->loadScript(filterscript({
        {emu::OpenMpServer::kInitCallback,
         [&g](emu::Call& c) {
             g.thread = c.native("CreateThread", {emu::str("CountInBackground")});
             g.timer = c.native("SetTimer", {emu::str("ReportCount"), 20, 1});
         }},
        {"CountInBackground",
         [&g](emu::Call& c) {
             cell lock = c.native("LockThread", {c.arg(0)});
             ++g.count;
             c.native("UnLockThread", {lock});
             c.native("SleepThread", {1});
         }},
        {"ReportCount",
         [&g](emu::Call& c) {
             cell lock = c.native("LockThread", {g.thread.load()});
             g.reported = g.count.load();
             c.native("UnLockThread", {lock});
             if (++g.reports == 5) {
                 c.native("KillTimer", {g.timer.load()});
                 g.destroyed = c.native("DestroyThread", {g.thread.load()});
             }
         }},
    }));
    EXPECT_EQ(g.thread, 1);
    ASSERT_TRUE(ticksUntil([&] { return g.destroyed != -1; }));
    EXPECT_EQ(g.destroyed, 1);
    EXPECT_EQ(g.reports, 5);
    EXPECT_GE(g.reported, 0);
}

// single_shot_job.pwn: a job computes once, hands its result over and sleeps;
// the timer collects it and destroys the job's thread.
TEST_F(OpenMpOrder, SingleShotJob) {
    Globals g;
    server->loadScript(filterscript({
        {emu::OpenMpServer::kInitCallback,
         [&g](emu::Call& c) {
             g.thread = c.native("CreateThreadEx", {emu::str("CountPrimes")});
             g.timer = c.native("SetTimer", {emu::str("CollectPrimes"), 20, 1});
         }},
        {"CountPrimes",
         [&g](emu::Call& c) {
             cell threadid = c.arg(0);
             int found = 0;
             for (int n = 2; n < 20000; ++n) {
                 bool prime = true;
                 for (int d = 2; d * d <= n && prime; ++d) {
                     prime = n % d != 0;
                 }
                 found += prime;
             }
             cell lock = c.native("LockThread", {threadid});
             g.found = found;
             g.done = true;
             c.native("UnLockThread", {lock});
             for (;;) {
                 c.native("SleepThread", {60000});
             }
         }},
        {"CollectPrimes",
         [&g](emu::Call& c) {
             cell lock = c.native("LockThread", {g.thread.load()});
             bool done = g.done;
             c.native("UnLockThread", {lock});
             if (done) {
                 c.native("KillTimer", {g.timer.load()});
                 g.destroyed = c.native("DestroyThread", {g.thread.load()});
             }
         }},
    }));
    ASSERT_TRUE(ticksUntil([&] { return g.destroyed != -1; }));
    EXPECT_EQ(g.destroyed, 1);
    EXPECT_EQ(g.found, 2262);
}

// gamemode_workers.pwn: two workers sieve blocks with a local array each and
// count them under their own locks, while a command and a timer of the
// script read both counts under the same locks on the main thread.
TEST_F(OpenMpOrder, GamemodeWorkers) {
    std::array<std::atomic<cell>, 2> workers{};
    std::array<std::atomic<int>, 2> blocksDone{};
    std::atomic<int> announced{0};
    auto search = [&blocksDone](size_t worker) {
        return [&blocksDone, worker](emu::Call& c) {
            c.useStack(2048);
            cell lock = c.native("LockThread", {c.arg(0)});
            ++blocksDone[worker];
            c.native("UnLockThread", {lock});
            c.native("SleepThread", {1});
        };
    };
    auto progress = [&](emu::Call& c) {
        int blocks = 0;
        for (size_t worker = 0; worker < workers.size(); ++worker) {
            cell lock = c.native("LockThread", {workers[worker].load()});
            blocks += blocksDone[worker];
            c.native("UnLockThread", {lock});
        }
        return blocks;
    };
    emu::Script& script = server->loadScript(filterscript({
        {emu::OpenMpServer::kInitCallback,
         [&workers](emu::Call& c) {
             workers[0] = c.native("CreateThread", {emu::str("SearchEvenBlocks")});
             workers[1] = c.native("CreateThread", {emu::str("SearchOddBlocks")});
             c.native("SetTimer", {emu::str("AnnounceProgress"), 2, 1});
         }},
        {"SearchEvenBlocks", search(0)},
        {"SearchOddBlocks", search(1)},
        {"AnnounceProgress", [&](emu::Call& c) { announced = progress(c); }},
    }));
    EXPECT_NE(workers[0], 0);
    EXPECT_NE(workers[1], 0);
    int commanded = 0;
    EXPECT_TRUE(ticksUntil([&] {
        script.run([&](emu::Call& c) {
            c.useStack(64);
            commanded = progress(c);
        });
        return commanded >= 20 && announced >= 20;
    }));
    server->unloadScript(script);
}

// The model judges by cells: code of a script that keeps the shared machine
// and starts while its worker runs script code it has not yet left for a
// native builds over the worker's frame. The worker here breaks the first
// rule of such scripts: its creator never waits, and it starts at the tick.
TEST_F(OpenMpOrder, CodeBesideAWorkerThatHasNotReachedANativeOverlapsItsStack) {
    overlapExpected = true;
    test::Gate busy;
    std::atomic<bool> running{false};
    emu::ScriptDefinition definition = filterscript({
        {emu::OpenMpServer::kInitCallback,
         [](emu::Call& c) { c.native("CreateThreadEx", {emu::str("Busy")}); }},
        {"Busy",
         [&](emu::Call&) {
             running = true;
             busy.wait();
         }},
    });
    definition.publicVariables = {{"vantrel_shared_machine", 1}};
    emu::Script& script = server->loadScript(std::move(definition));
    ASSERT_TRUE(ticksUntil([&] { return running.load(); }));
    script.run([](emu::Call& c) { c.native("UnLockThread", {0}); });
    busy.open();
    ASSERT_TRUE(test::eventually([&] { return script.executions() == 0; }));
}

}  // namespace
