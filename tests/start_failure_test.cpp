// Worker starts the system fails or delays. On Linux this executable exports
// its own pthread_create, which the plugin's threading library binds to; on
// Windows it points the plugin's imports of _beginthreadex and ResumeThread at
// its own. Either can fail a start, or hold the creator back until the new
// thread has run a while.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <pthread.h>
#endif

#include <cerrno>

#include "tests/support.h"
#ifdef _WIN32
#include "tests/import_patch_win32.h"
#endif

namespace {

std::atomic<bool> failStarts{false};
std::atomic<bool> slowStarts{false};
std::atomic<int> startsSeen{0};

}  // namespace

#ifdef _WIN32
namespace {

using ThreadRoutine = unsigned(__stdcall*)(void*);
using BeginThread = uintptr_t(__cdecl*)(void*, unsigned, ThreadRoutine, void*, unsigned, unsigned*);
using ResumeThreadFunction = DWORD(WINAPI*)(HANDLE);
BeginThread realBeginThread = nullptr;
ResumeThreadFunction realResumeThread = nullptr;

struct Start {
    ThreadRoutine routine;
    void* argument;
    std::atomic<bool> running{false};
};
// Boost starts a thread suspended and resumes it once it holds the thread's
// handle: a delayed start holds its creator back in ResumeThread.
thread_local Start* delayedStart = nullptr;

unsigned __stdcall announceStart(void* raw) {
    auto* start = static_cast<Start*>(raw);
    ThreadRoutine routine = start->routine;
    void* argument = start->argument;
    start->running = true;
    return routine(argument);
}

uintptr_t __cdecl seamBeginThread(void* security, unsigned stackSize, ThreadRoutine routine,
                                  void* argument, unsigned flags, unsigned* id) {
    ++startsSeen;
    if (failStarts) {
        errno = EAGAIN;
        return 0;
    }
    if (!slowStarts) {
        return realBeginThread(security, stackSize, routine, argument, flags, id);
    }
    auto* start = new Start{routine, argument};
    uintptr_t thread = realBeginThread(security, stackSize, &announceStart, start, flags, id);
    if (thread == 0) {
        delete start;
        return 0;
    }
    delayedStart = start;
    return thread;
}

DWORD WINAPI seamResumeThread(HANDLE thread) {
    DWORD result = realResumeThread(thread);
    if (Start* start = delayedStart) {
        delayedStart = nullptr;
        test::eventually([&] { return start->running.load(); });
        // Gives the new thread time to run on; only a faulty plugin depends on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        delete start;
    }
    return result;
}

// The plugin's import table is filled in anew at every load.
void installStartSeam() {
    HMODULE plugin = test::loadedPlugin();
    realBeginThread = reinterpret_cast<BeginThread>(test::patchImport(
        plugin, "msvcrt.dll", "_beginthreadex", reinterpret_cast<void*>(&seamBeginThread)));
    realResumeThread = reinterpret_cast<ResumeThreadFunction>(test::patchImport(
        plugin, "KERNEL32.dll", "ResumeThread", reinterpret_cast<void*>(&seamResumeThread)));
}

}  // namespace
#else
namespace {

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
#endif

namespace {

class WorkerStart : public test::PluginTest {
  protected:
#ifdef _WIN32
    void SetUp() override {
        PluginTest::SetUp();
        installStartSeam();
    }
#endif

    void TearDown() override {
        failStarts = false;
        slowStarts = false;
        PluginTest::TearDown();
    }

    // Whether the plugin's worker starts come through this executable.
    bool seamReached(emu::Script& script) {
        int seen = startsSeen;
        EXPECT_EQ(startOnce(script, "Quick"), 1);
        EXPECT_TRUE(workersEnded());
        host->tick();
        return startsSeen != seen;
    }
};

const char* const kNoSeam = "the plugin's threads do not start through this executable's seam";

TEST_F(WorkerStart, FailedStartReturnsZeroAndRecordsNothing) {
    auto& spawned = keep<std::atomic<cell>>();
    test::Gate& go = gate();
    emu::Script& sleeper = load({{"Sleep", test::sleepForever()}});
    emu::Script& script = load({{"Quick", [](emu::Call&) {}},
                                {"Sleep", test::sleepForever()},
                                {"Spawn", [&spawned, &go](emu::Call& c) {
                                     c.native("SleepThread", {0});
                                     go.wait();
                                     spawned = c.native("CreateThreadEx", {emu::str("Sleep")});
                                 }}});
    if (!seamReached(script)) {
        FAIL() << kNoSeam;
    }
    EXPECT_EQ(start(sleeper, "Sleep"), 1);
    EXPECT_EQ(startOnce(script, "Spawn"), 2);
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

    // Each in a script of its own, so that no code of a script meets a
    // worker of it that a tick starts.
    EXPECT_EQ(startOnce(load({{"Sleep", test::sleepForever()}}), "Sleep"), 3);
    host->tick();
    EXPECT_EQ(call(load({{"Sleep", test::sleepForever()}}), "CreateThreadEx", {emu::str("Sleep")}),
              2);
}

// Single-shot workers that a worker creates, their starts slowed down, all
// finish and are reaped: an id reaches the finished queue only once it is in
// the thread table, or no tick could ever reap it.
TEST_F(WorkerStart, OnceThreadsAWorkerCreatesAreReapedThoughTheirStartsAreSlow) {
    static constexpr int kLeaves = 5;
    emu::Script& script = load(
        {{"Quick", [](emu::Call&) {}}, {"Spawn", [](emu::Call& c) {
                                            for (int i = 0; i < kLeaves; ++i) {
                                                c.native("CreateThreadEx", {emu::str("Quick")});
                                            }
                                        }}});
    if (!seamReached(script)) {
        FAIL() << kNoSeam;
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
