// Every allocation the plugin makes may fail. One scripted scene touches every
// native, a self-destroy, a reaping tick, AmxUnload and Unload; it is run
// once per allocation it makes, with the Nth of the plugin's allocations
// failing in run N, until a run has no allocation left to fail. No run may
// crash, hang or leave an error field set, and each leaves the registry
// empty. Leaks are the sanitizer's and valgrind's to find at exit.
//
// On Linux this executable replaces operator new, which a plugin sharing the
// C++ runtime calls, and malloc, which the self-contained plugin's own
// operator new calls; allocations are the plugin's when the caller is in its
// code. On Windows it points the plugin's imports of malloc and calloc at its
// own functions, which only the plugin calls.
#ifdef _WIN32
#include <windows.h>
#else
#include <link.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>

#include "tests/support.h"
#include "tests/watchdog.h"
#ifdef _WIN32
#include "tests/import_patch_win32.h"
#endif

namespace {

std::atomic<bool> armed{false};
std::atomic<long> allocations{0};
std::atomic<long> failAt{0};
std::atomic<long> failures{0};
// Run at the plugin's next allocation once stallArmed is set, on the thread
// that allocates, which waits for it.
std::function<void()> atNextAllocation;
std::atomic<bool> stallArmed{false};

// Counts one of the plugin's allocations; true when it is the one to fail.
bool failsNow() {
    if (stallArmed.load(std::memory_order_relaxed) && stallArmed.exchange(false)) {
        atNextAllocation();
    }
    if (!armed.load(std::memory_order_relaxed) || ++allocations != failAt) {
        return false;
    }
    ++failures;
    return true;
}

}  // namespace

#ifdef _WIN32
namespace {

using Malloc = void*(__cdecl*)(size_t);
using Calloc = void*(__cdecl*)(size_t, size_t);
Malloc realMalloc = nullptr;
Calloc realCalloc = nullptr;

void* __cdecl seamMalloc(size_t size) {
    if (failsNow()) {
        errno = ENOMEM;
        return nullptr;
    }
    return realMalloc(size);
}

void* __cdecl seamCalloc(size_t count, size_t size) {
    if (failsNow()) {
        errno = ENOMEM;
        return nullptr;
    }
    return realCalloc(count, size);
}

// The plugin's import table is filled in anew at every load.
bool installSeam() {
    HMODULE plugin = test::loadedPlugin();
    realMalloc = reinterpret_cast<Malloc>(
        test::patchImport(plugin, "msvcrt.dll", "malloc", reinterpret_cast<void*>(&seamMalloc)));
    realCalloc = reinterpret_cast<Calloc>(
        test::patchImport(plugin, "msvcrt.dll", "calloc", reinterpret_cast<void*>(&seamCalloc)));
    return realMalloc != nullptr && realCalloc != nullptr;
}

}  // namespace
#else
namespace {

std::atomic<uintptr_t> pluginCodeBegin{0};
std::atomic<uintptr_t> pluginCodeEnd{0};

bool failsHere(void* caller) {
    auto address = reinterpret_cast<uintptr_t>(caller);
    return address >= pluginCodeBegin && address < pluginCodeEnd && failsNow();
}

void* allocate(size_t size, void* caller) {
    if (failsHere(caller)) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) {
    return allocate(size, __builtin_return_address(0));
}
void* operator new[](size_t size) {
    return allocate(size, __builtin_return_address(0));
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, size_t) noexcept {
    std::free(memory);
}

#ifdef VANTREL_STATIC_RUNTIME
extern "C" void* __libc_malloc(size_t size);
extern "C" void* malloc(size_t size) {
    if (failsHere(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}
#endif

namespace {

int findPluginCode(dl_phdr_info* info, size_t, void*) {
    if (std::string(info->dlpi_name) != VANTREL_PLUGIN_PATH) {
        return 0;
    }
    uintptr_t begin = UINTPTR_MAX;
    uintptr_t end = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0) {
            begin = std::min<uintptr_t>(begin, info->dlpi_addr + segment.p_vaddr);
            end = std::max<uintptr_t>(end, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
        }
    }
    pluginCodeBegin = begin;
    pluginCodeEnd = end;
    return 1;
}

bool installSeam() {
    pluginCodeBegin = 0;
    pluginCodeEnd = 0;
    dl_iterate_phdr(&findPluginCode, nullptr);
    return pluginCodeBegin < pluginCodeEnd;
}

}  // namespace
#endif

namespace {

struct Scene {
    std::atomic<int> pastTheirEnd{0};
    // The self-destroying public abandons its code in the machine: only once
    // no other code runs there.
    test::Gate selfDestroy;
};

std::vector<std::pair<std::string, emu::Public>> scenePublics(Scene& scene) {
    return {
        {"Sleep",
         [&scene](emu::Call& c) {
             c.native("SleepThread", {test::kLongSleep});
             ++scene.pastTheirEnd;
         }},
        {"Quick", [](emu::Call&) {}},
        {"Self",
         [&scene](emu::Call& c) {
             c.native("SleepThread", {0});
             scene.selfDestroy.wait();
             c.native("DestroyThread", {c.arg(0)});
             ++scene.pastTheirEnd;
         }},
    };
}

class AllocationFailure : public ::testing::Test {
  protected:
    // Runs the scene with the plugin's Nth allocation failing; returns whether
    // one failed.
    bool runScene(long n) {
        watchdog_.phase("run " + std::to_string(n) + ": Load");
        emu::EmulatedHost host(VANTREL_PLUGIN_PATH);
        EXPECT_TRUE(installSeam()) << "the plugin's allocations cannot be failed";
        allocations = 0;
        failures = 0;
        failAt = n;
        armed = true;
        if (host.load()) {
            playScene(host, n);
            watchdog_.phase("run " + std::to_string(n) + ": Unload");
            host.unload();
        } else {
            // A host may call the other exports after a failed Load all the same.
            watchdog_.phase("run " + std::to_string(n) + ": exports after a failed Load");
            int registered = -1;
            emu::Script& script = host.loadScript({{}, test::kAllNatives}, &registered);
            EXPECT_NE(registered, AMX_ERR_NONE) << "run " << n;
            host.tick();
            EXPECT_EQ(host.unloadScript(script), AMX_ERR_NONE);
            host.unload();
            EXPECT_TRUE(host.log().empty()) << "run " << n;
        }
        armed = false;
        EXPECT_TRUE(host.faults().empty()) << "run " << n;
        EXPECT_TRUE(host.scriptFaults().empty()) << "run " << n;
        EXPECT_TRUE(workersEnded()) << "run " << n;
        return failures != 0;
    }

    void playScene(emu::EmulatedHost& host, long n) {
        std::string run = "run " + std::to_string(n) + ": ";
        Scene scene;
        int registered = -1;
        emu::Script& script =
            host.loadScript({scenePublics(scene), test::kAllNatives}, &registered);
        if (registered != AMX_ERR_NONE) {
            // Without its record the script gets no natives, and so the server
            // runs none of its code.
            EXPECT_EQ(registered, AMX_ERR_MEMORY) << run;
            EXPECT_EQ(script.run([](emu::Call&) {}), AMX_ERR_NOTFOUND) << run;
            EXPECT_EQ(host.unloadScript(script), AMX_ERR_NONE);
        } else {
            useScript(host, script, scene, run);
        }

        // Nothing is left taken: the first ids come again.
        armed = false;
        emu::Script& probe = host.loadScript({scenePublics(scene), test::kAllNatives});
        EXPECT_EQ(probe.run([&](emu::Call& c) {
            EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 1) << run;
            EXPECT_EQ(c.native("LockThread", {1}), 1) << run;
        }),
                  AMX_ERR_NONE);
        host.unloadScript(probe);
        armed = true;
    }

    void useScript(emu::EmulatedHost& host, emu::Script& script, Scene& scene,
                   const std::string& run) {
        int sleepers = 0;
        cell sleeper = 0;
        cell quick = 0;
        EXPECT_EQ(script.run([&](emu::Call& c) {
            sleeper = c.native("CreateThread", {emu::str("Sleep")});
            sleepers += sleeper != 0;
            quick = c.native("CreateThreadEx", {emu::str("Quick")});
            c.native("CreateThread", {emu::str("Self")});
            c.native("UnLockThread", {c.native("LockThread", {sleeper})});
            c.native("LockThread", {sleeper});
            c.native("SleepThread", {0});
        }),
                  AMX_ERR_NONE)
            << run;
        watchdog_.phase(run + "single-shot and self-destroyed workers end");
        scene.selfDestroy.open();
        EXPECT_TRUE(workersEnded(sleepers));
        watchdog_.phase(run + "ticks reap");
        for (int tick = 0; tick < 3; ++tick) {
            host.tick();
        }
        watchdog_.phase(run + "DestroyThread of a sleeping worker");
        EXPECT_EQ(script.run([&](emu::Call& c) {
            if (quick != 0) {
                EXPECT_EQ(c.native("DestroyThread", {quick}), 0) << run << "the tick reaped it";
            }
            c.native("DestroyThread", {sleeper});
            c.native("CreateThreadEx", {emu::str("Sleep")});
        }),
                  AMX_ERR_NONE)
            << run;
        EXPECT_EQ(test::machineError(script), AMX_ERR_NONE) << run;
        watchdog_.phase(run + "AmxUnload");
        EXPECT_EQ(host.unloadScript(script), AMX_ERR_NONE);
        EXPECT_EQ(scene.pastTheirEnd, 0) << run;
        EXPECT_TRUE(workersEnded()) << run;
    }

    bool workersEnded(int workers = 0) { return test::threadsBackTo(baseline_ + workers); }

    // Its deadline comes before CTest's timeout, so that a hang is reported.
    test::Watchdog watchdog_{"allocation-failure", std::chrono::seconds(30),
                             std::chrono::seconds(540)};
    const int baseline_ = test::threadBaseline();
};

TEST_F(AllocationFailure, NoRunCrashesHangsOrLeavesAnythingBehind) {
    long runs = 1;
    while (runScene(runs)) {
        ASSERT_LT(runs, 100000) << "the scene never ran without a failure";
        ++runs;
    }
    EXPECT_GT(runs, 1) << "the plugin's allocations do not come through this executable";
    std::printf("[alloc] %ld runs, one per allocation of the scene and one with none failing\n",
                runs);
}

// A script whose record could not be made is one the registry can neither
// stop a worker in nor wait for at its unload: another script's worker must
// never come to sleep in its code, whether that worker is then destroyed or
// the script unloaded.
TEST_F(AllocationFailure, NoWorkerSleepsInAScriptLoadedWithoutItsRecord) {
    for (bool destroyFirst : {true, false}) {
        watchdog_.phase(destroyFirst ? "destroy the visiting worker" : "unload the visited script");
        emu::EmulatedHost host(VANTREL_PLUGIN_PATH);
        ASSERT_TRUE(installSeam());
        ASSERT_TRUE(host.load());
        std::atomic<int> hookRuns{0};
        std::atomic<pid_t> tid{0};
        emu::Script& visitor =
            host.loadScript({{{"Visit",
                               [&tid](emu::Call& c) {
                                   c.native("CallRemoteFunction", {emu::str("Hook")});
                                   tid = test::osThreadId();
                                   c.native("SleepThread", {test::kLongSleep});
                               }}},
                             test::kAllNatives});
        allocations = 0;
        failures = 0;
        failAt = 1;
        armed = true;
        int registered = -1;
        emu::Script& visited =
            host.loadScript({{{"Hook",
                               [&hookRuns, &tid](emu::Call& c) {
                                   ++hookRuns;
                                   tid = test::osThreadId();
                                   for (;;) {
                                       c.native("SleepThread", {test::kLongSleep});
                                   }
                               }}},
                             test::kAllNatives},
                            &registered);
        armed = false;
        ASSERT_EQ(failures, 1);
        EXPECT_NE(registered, AMX_ERR_NONE);

        EXPECT_EQ(visitor.run([](emu::Call& c) {
            EXPECT_EQ(c.native("CreateThread", {emu::str("Visit")}), 1);
            c.native("SleepThread", {0});
        }),
                  AMX_ERR_NONE);
        ASSERT_TRUE(test::blocks(tid));
        if (destroyFirst) {
            EXPECT_EQ(
                visitor.run([](emu::Call& c) { EXPECT_EQ(c.native("DestroyThread", {1}), 1); }),
                AMX_ERR_NONE);
        }
        host.unloadScript(visited);
        host.unload();
        EXPECT_TRUE(host.faults().empty()) << host.faults().front();
        EXPECT_TRUE(host.scriptFaults().empty()) << host.scriptFaults().front();
        EXPECT_EQ(hookRuns, 0);
        EXPECT_TRUE(workersEnded());
    }
}

}  // namespace

// Workers that lock threads of their own do not queue behind the registry:
// a worker's lock pair goes on while CreateThread holds the registry's guard,
// stalled at an allocation it makes under it.
TEST_F(AllocationFailure, AWorkersLockPairGoesOnWhileTheRegistryIsBusy) {
    emu::EmulatedHost host(VANTREL_PLUGIN_PATH);
    ASSERT_TRUE(installSeam());
    ASSERT_TRUE(host.load());
    std::atomic<bool> ready{false};
    std::atomic<bool> paired{false};
    test::Gate go;
    emu::Script& script =
        host.loadScript({{{"Pair",
                           [&](emu::Call& c) {
                               cell me = c.arg(0);
                               // Once beforehand, so that the pair below allocates nothing.
                               c.native("UnLockThread", {c.native("LockThread", {me})});
                               ready = true;
                               go.wait();
                               cell lock = c.native("LockThread", {me});
                               paired = c.native("UnLockThread", {lock}) == 1;
                               c.native("SleepThread", {test::kLongSleep});
                           }},
                          {"Sleep", test::sleepForever()}},
                         test::kAllNatives});
    EXPECT_EQ(script.run(
                  [](emu::Call& c) { EXPECT_EQ(c.native("CreateThread", {emu::str("Pair")}), 1); }),
              AMX_ERR_NONE);
    ASSERT_TRUE(test::eventually([&] { return ready.load(); }));
    bool pairedInTime = false;
    atNextAllocation = [&] {
        go.open();
        pairedInTime = test::eventually([&] { return paired.load(); }, std::chrono::seconds(5));
    };
    stallArmed = true;
    EXPECT_EQ(script.run([](emu::Call& c) {
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 2);
    }),
              AMX_ERR_NONE);
    EXPECT_FALSE(stallArmed) << "CreateThread allocated nothing";
    EXPECT_TRUE(pairedInTime) << "the worker's lock pair waited for CreateThread";
    EXPECT_TRUE(test::eventually([&] { return paired.load(); }));
    host.unloadScript(script);
    host.unload();
    EXPECT_TRUE(host.faults().empty()) << host.faults().front();
    EXPECT_TRUE(workersEnded());
}
