// A test that stops making progress must fail on its own, saying where it
// stood, rather than run into the CI's time limit.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/watchdog.h"

namespace {

using std::chrono::seconds;

class WatchdogDeathTest : public ::testing::Test {
  protected:
    // The dying part runs in a forked copy of the test, which starts the
    // watchdog's thread itself: what is forked has one thread. The other
    // style starts the test program again by its path, which under a
    // user-mode emulator is a program the kernel may not run, started
    // outside the emulator.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
};

TEST_F(WatchdogDeathTest, AbortsWhenNothingMovesAndReportsEveryLane) {
    EXPECT_DEATH(
        {
            test::Watchdog watchdog("hung", seconds(1), seconds(60));
            watchdog.phase("waiting for the worker");
            watchdog.lane("worker").step("LockThread", 7);
            std::this_thread::sleep_for(seconds(30));
        },
        "WATCHDOG: hung: no progress .*phase: waiting for the worker\n"
        ".*worker +1 steps, last LockThread\\(7\\)");
}

TEST_F(WatchdogDeathTest, AbortsWhenACriticalLaneStallsWhileOthersMove) {
    EXPECT_DEATH(
        {
            test::Watchdog watchdog("stuck", seconds(1), seconds(60));
            test::Watchdog::Lane& driver = watchdog.lane("main", true);
            test::Watchdog::Lane& busy = watchdog.lane("spinner");
            driver.step("DestroyThread", 3);
            for (;;) {
                busy.step("SleepThread");
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        },
        "WATCHDOG: stuck: no progress on main.*\n.*main +1 steps, last DestroyThread\\(3\\)");
}

TEST_F(WatchdogDeathTest, AbortsAtItsDeadlineEvenWhileEverythingMoves) {
    EXPECT_DEATH(
        {
            test::Watchdog watchdog("slow", seconds(60), seconds(1));
            test::Watchdog::Lane& lane = watchdog.lane("main", true);
            for (;;) {
                lane.step("ProcessTick");
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        },
        "WATCHDOG: slow: deadline exceeded");
}

TEST(Watchdog, StaysQuietWhileTheTestProgresses) {
    test::Watchdog watchdog("healthy", seconds(5), seconds(60));
    test::Watchdog::Lane& lane = watchdog.lane("main", true);
    for (int i = 0; i < 150; ++i) {
        lane.step("ProcessTick", i);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace
