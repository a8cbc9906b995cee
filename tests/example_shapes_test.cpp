// The two examples' shapes on open.mp, whose machines clear the error field
// before every native: a filterscript whose one worker hands its results to a
// timer under the worker's lock, as the include's pattern says, until the
// timer destroys it. Neither may leave a fault on the machine's one stack.
#include "emuhost/openmp_server.h"
#include "tests/support.h"

namespace {

class ExampleShapes : public ::testing::Test {
  protected:
    void SetUp() override {
        host = std::make_unique<emu::EmulatedHost>(VANTREL_PLUGIN_PATH);
        server = std::make_unique<emu::OpenMpServer>(*host);
        ASSERT_TRUE(server->start());
    }

    void TearDown() override {
        server->shutdown();
        EXPECT_TRUE(host->faults().empty()) << host->faults().front();
        if (overlapExpected) {
            EXPECT_FALSE(host->stackFaults().empty());
        } else {
            EXPECT_TRUE(host->stackFaults().empty()) << host->stackFaults().front();
        }
        server.reset();
        host.reset();
    }

    emu::Script& loadFilterscript(std::vector<std::pair<std::string, emu::Public>> publics) {
        std::vector<std::string> natives = test::kAllNatives;
        natives.insert(natives.end(), emu::OpenMpServer::kNatives.begin(),
                       emu::OpenMpServer::kNatives.end());
        return server->loadScript({std::move(publics), natives});
    }

    bool ticksUntil(const std::function<bool()>& done) {
        return test::eventually([&] {
            server->tick();
            return done();
        });
    }

    std::unique_ptr<emu::EmulatedHost> host;
    std::unique_ptr<emu::OpenMpServer> server;
    bool overlapExpected = false;
};

// The script's variables, which its worker and its timer share.
struct Globals {
    std::atomic<cell> thread{0};
    std::atomic<cell> timer{0};
    std::atomic<int> count{0};
    std::atomic<int> reports{0};
    std::atomic<int> lastReport{0};
    std::atomic<cell> destroyed{-1};
    std::atomic<bool> done{false};
    std::atomic<int> found{0};
};

// background_counter.pwn: a worker counts, a timer reports and, after five
// reports, destroys it.
TEST_F(ExampleShapes, BackgroundCounter) {
    Globals g;
    loadFilterscript({
        {emu::OpenMpServer::kInitCallback,
         [&g](emu::Call& c) {
             g.timer = c.native("SetTimer", {emu::str("ReportCount"), 20, 1});
             g.thread = c.native("CreateThread", {emu::str("CountInBackground")});
             c.native("SleepThread", {0});
         }},
        {"CountInBackground",
         [&g](emu::Call& c) {
             cell threadid = c.arg(0);
             c.native("SleepThread", {5});
             for (;;) {
                 cell lock = c.native("LockThread", {threadid});
                 ++g.count;
                 c.native("UnLockThread", {lock});
                 c.native("SleepThread", {1});
             }
         }},
        {"ReportCount",
         [&g](emu::Call& c) {
             cell lock = c.native("LockThread", {g.thread.load()});
             g.lastReport = g.count.load();
             c.native("UnLockThread", {lock});
             if (++g.reports == 5) {
                 c.native("KillTimer", {g.timer.load()});
                 g.destroyed = c.native("DestroyThread", {g.thread.load()});
             }
         }},
    });
    EXPECT_EQ(g.thread, 1);
    ASSERT_TRUE(ticksUntil([&] { return g.destroyed != -1; }));
    EXPECT_EQ(g.destroyed, 1);
    EXPECT_EQ(g.reports, 5);
}

// single_shot_job.pwn: a job computes once, hands its result over and sleeps;
// the timer collects it and destroys the job's thread.
TEST_F(ExampleShapes, SingleShotJob) {
    Globals g;
    loadFilterscript({
        {emu::OpenMpServer::kInitCallback,
         [&g](emu::Call& c) {
             g.timer = c.native("SetTimer", {emu::str("CollectPrimes"), 20, 1});
             g.thread = c.native("CreateThreadEx", {emu::str("CountPrimes")});
             c.native("SleepThread", {0});
         }},
        {"CountPrimes",
         [&g](emu::Call& c) {
             cell threadid = c.arg(0);
             c.native("SleepThread", {5});
             c.native("UnLockThread", {c.native("LockThread", {threadid})});
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
    });
    ASSERT_TRUE(ticksUntil([&] { return g.destroyed != -1; }));
    EXPECT_EQ(g.destroyed, 1);
    EXPECT_EQ(g.found, 2262);
}

// The model judges by cells: code of a script that starts while its worker
// runs script code it has not yet left for a native builds over the
// worker's frame. The worker here breaks the first rule: its creator never
// waits, and it starts at the tick.
TEST_F(ExampleShapes, CodeBesideAWorkerThatHasNotReachedANativeOverlapsItsStack) {
    overlapExpected = true;
    test::Gate busy;
    std::atomic<bool> running{false};
    emu::Script& script = loadFilterscript({
        {emu::OpenMpServer::kInitCallback,
         [](emu::Call& c) { c.native("CreateThreadEx", {emu::str("Busy")}); }},
        {"Busy",
         [&](emu::Call&) {
             running = true;
             busy.wait();
         }},
    });
    ASSERT_TRUE(ticksUntil([&] { return running.load(); }));
    script.run([](emu::Call& c) { c.native("UnLockThread", {0}); });
    busy.open();
    ASSERT_TRUE(test::eventually([&] { return script.executions() == 0; }));
}

}  // namespace
