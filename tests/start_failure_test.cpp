// Worker starts the system fails or delays. This executable exports its own
// pthread_create, which the plugin's threading library binds to: it can fail
// a start, or hold the creator back until the new thread has run a while.
#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>

#include "tests/support.h"

namespace {

std::atomic<bool> failStarts{false};
std::atomic<bool> slowStarts{false};
std::atomic<int> startsSeen{0};

struct Start {
    void* (*routine)(void*);
    void* argument;
    std::atomic<bool> running{false};
};

void* announceStart(void* raw) {
    auto* start = static_cast<Start*>(raw);
    void* (*routine)(void*) = start->routine;
    void* argument = start->argument;
    start->running = true;
    return routine(argument);
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    ++startsSeen;
    if (failStarts) {
        return EAGAIN;
    }
    if (!slowStarts) {
        return next(thread, attributes, routine, argument);
    }
    Start start{routine, argument};
    int result = next(thread, attributes, &announceStart, &start);
    if (result == 0) {
        test::eventually([&] { return start.running.load(); });
        // Gives the new thread time to run on; only a faulty plugin depends on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return result;
}

namespace {

class WorkerStart : public test::PluginTest {
  protected:
    void TearDown() override {
        failStarts = false;
        slowStarts = false;
        PluginTest::TearDown();
    }

    // Whether the plugin's worker starts come through this executable.
    bool seamReached(emu::Script& script) {
        int seen = startsSeen;
        EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Quick")}), 1);
        EXPECT_TRUE(workersEnded());
        host->tick();
        return startsSeen != seen;
    }
};

const char* const kNoSeam =
    "the plugin's threads do not start through this executable's pthread_create";

TEST_F(WorkerStart, FailedStartReturnsZeroAndRecordsNothing) {
    auto& spawned = keep<std::atomic<cell>>();
    test::Gate& go = gate();
    emu::Script& script = load({{"Quick", [](emu::Call&) {}},
                                {"Sleep", test::sleepForever()},
                                {"Spawn", [&spawned, &go](emu::Call& c) {
                                     go.wait();
                                     spawned = c.native("CreateThreadEx", {emu::str("Sleep")});
                                 }}});
    if (!seamReached(script)) {
        GTEST_SKIP() << kNoSeam;
    }
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Sleep")}), 1);
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Spawn")}), 2);
    int running = emu::countProcessThreads();

    failStarts = true;
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Sleep")}), 0);
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Sleep")}), 0);
    // A public that asks for a thread goes on with 0.
    spawned = -1;
    go.open();
    ASSERT_TRUE(test::eventually([&] { return spawned != -1; }));
    EXPECT_EQ(spawned, 0);
    EXPECT_FALSE(threadExists(3));
    ASSERT_TRUE(workersEnded(running - threadsBeforeLoad - 1));
    failStarts = false;

    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Sleep")}), 3);
    host->tick();
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Sleep")}), 2);
}

// A single-shot worker that a worker creates finishes before its creator is
// back from starting it. Its id must still reach the finished queue only once
// it is in the thread table, or no tick could ever reap it.
TEST_F(WorkerStart, OnceThreadsFinishingBeforeTheirCreatorGoesOnAreReaped) {
    static constexpr int kLeaves = 5;
    emu::Script& script = load(
        {{"Quick", [](emu::Call&) {}}, {"Spawn", [](emu::Call& c) {
                                            for (int i = 0; i < kLeaves; ++i) {
                                                c.native("CreateThreadEx", {emu::str("Quick")});
                                            }
                                        }}});
    if (!seamReached(script)) {
        GTEST_SKIP() << kNoSeam;
    }
    slowStarts = true;
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Spawn")}), 1);
    // The server ticks all the while, also between a leaf's end and its
    // creator's return.
    ASSERT_TRUE(test::eventually([&] {
        host->tick();
        return emu::countProcessThreads() == threadsBeforeLoad;
    }));
    for (int i = 0; i <= kLeaves; ++i) {
        host->tick();
    }
    for (cell id = 1; id <= kLeaves + 1; ++id) {
        EXPECT_FALSE(threadExists(id)) << id;
    }
}

}  // namespace
