// The plugin driven in open.mp's order: the server's natives before AmxLoad,
// the init callback after it, the exit callback and the killing of timers
// before AmxUnload, every script unloaded before Unload, and ProcessTick only
// because Supports announces it.
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
        EXPECT_TRUE(host->stackFaults().empty()) << host->stackFaults().front();
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

}  // namespace
