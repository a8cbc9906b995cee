// A worker the system cannot start. This executable exports its own
// pthread_create, which the plugin's threading library binds to, and which
// fails on demand.
#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>

#include "tests/support.h"

namespace {

std::atomic<bool> failStarts{false};
std::atomic<int> startsSeen{0};

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    ++startsSeen;
    if (failStarts) {
        return EAGAIN;
    }
    return next(thread, attributes, start, argument);
}

namespace {

class StartFailure : public test::PluginTest {
  protected:
    void TearDown() override {
        failStarts = false;
        PluginTest::TearDown();
    }
};

TEST_F(StartFailure, CreateReturnsZeroAndRecordsNothing) {
    auto& spawned = keep<std::atomic<cell>>();
    test::Gate& go = gate();
    emu::Script& script =
        load({{"Sleep", [](emu::Call& c) { c.native("SleepThread", {test::kLongSleep}); }},
              {"Spawn", [&spawned, &go](emu::Call& c) {
                   go.wait();
                   spawned = c.native("CreateThreadEx", {emu::str("Sleep")});
               }}});
    int seen = startsSeen;
    EXPECT_EQ(call(script, "CreateThread", {emu::str("Sleep")}), 1);
    if (startsSeen == seen) {
        GTEST_SKIP() << "the plugin's threads do not start through this executable's "
                        "pthread_create, so no start can be made to fail here";
    }
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

}  // namespace
