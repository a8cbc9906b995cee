// Unloading a script whose worker waits for a lock that another script holds
// must not hang the server: that script's main-thread code, the only code that
// may release the lock, cannot run while the main thread waits in AmxUnload.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "tests/support.h"
#include "tests/watchdog.h"

namespace {

class UnloadLockWaitTest : public test::PluginTest {
  protected:
    void SetUp() override {
        test::PluginTest::SetUp();
        holder = &host->loadScript(
            {{{"idle", [](emu::Call& c) { c.native("SleepThread", {test::kDeadline.count()}); }}},
             test::kAllNatives});
        thread = start(*holder, "idle");
        ASSERT_GT(thread, 0);
        lockId = call(*holder, "LockThread", {thread});
        ASSERT_GT(lockId, 0);
    }

    // Loads a script whose looping public waits for the held lock: only a
    // stop of its thread ends it once it has the lock, as its next call would
    // wait for good.
    emu::Script& loadWaiter() {
        emu::Script& waiter = host->loadScript({{{"waiter",
                                                  [this](emu::Call& c) {
                                                      waiting = test::osThreadId();
                                                      c.native("LockThread", {thread});
                                                      gotLock = true;
                                                  }}},
                                                test::kAllNatives});
        EXPECT_GT(start(waiter, "waiter"), 0);
        EXPECT_TRUE(test::blocks(waiting));
        return waiter;
    }

    emu::Script* holder = nullptr;
    cell thread = 0;
    cell lockId = 0;
    std::atomic<pid_t> waiting{0};
    std::atomic<bool> gotLock{false};
};

TEST_F(UnloadLockWaitTest, AmxUnloadEndsAWorkerWaitingForAnotherScriptsLock) {
    test::Watchdog watchdog("unload-lock-wait", std::chrono::seconds(10), std::chrono::seconds(60));
    emu::Script& waiter = loadWaiter();
    watchdog.phase("AmxUnload of the waiting script");
    EXPECT_EQ(host->unloadScript(waiter), AMX_ERR_NONE);
    watchdog.phase("checking the lock");
    EXPECT_FALSE(gotLock);
    // The holder's lock is untouched, and the mutex is free once it is released.
    EXPECT_EQ(call(*holder, "UnLockThread", {lockId}), 1);
    cell again = call(*holder, "LockThread", {thread});
    EXPECT_GT(again, 0);
    EXPECT_EQ(call(*holder, "UnLockThread", {again}), 1);
}

// The waiting worker is destroyed by a worker of a third script, which is then
// unloaded: its worker stops waiting for that destruction, which still
// completes once the waiter's public has returned.
TEST_F(UnloadLockWaitTest, AmxUnloadEndsAWorkerWaitingForADestructionChain) {
    test::Watchdog watchdog("unload-destroy-chain", std::chrono::seconds(10),
                            std::chrono::seconds(60));
    loadWaiter();
    auto& destroying = keep<std::atomic<pid_t>>();
    auto& ranOn = keep<std::atomic<bool>>();
    emu::Script& destroyer = host->loadScript({{{"destroy",
                                                 [&destroying, &ranOn](emu::Call& c) {
                                                     destroying = test::osThreadId();
                                                     c.native("DestroyThread", {2});
                                                     ranOn = true;
                                                 }}},
                                               test::kAllNatives});
    EXPECT_EQ(startOnce(destroyer, "destroy"), 3);
    ASSERT_TRUE(test::blocks(destroying));
    watchdog.phase("AmxUnload of the destroying script");
    EXPECT_EQ(host->unloadScript(destroyer), AMX_ERR_NONE);
    EXPECT_FALSE(ranOn);

    watchdog.phase("the destruction completes");
    EXPECT_EQ(call(*holder, "UnLockThread", {lockId}), 1);
    ASSERT_TRUE(test::eventually([&] {
        host->tick();
        return !threadExists(2);
    }));
    EXPECT_TRUE(gotLock);
    EXPECT_EQ(call(*holder, "CreateThread", {emu::str("idle")}), 2);
}

}  // namespace
