// Shared helpers for tests that drive the real plugin through the emulated host.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#ifndef _WIN32
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emuhost/emulated_host.h"

namespace test {

// Deadlines are generous: they only bound a hang, never pace a test.
constexpr std::chrono::seconds kDeadline{30};

// Far longer than any test runs: a worker asleep this long ends only when
// its thread is destroyed.
constexpr cell kLongSleep = 10 * 60 * 1000;

inline const std::vector<std::string> kAllNatives = {
    "CreateThread", "CreateThreadEx", "DestroyThread", "SleepThread", "LockThread", "UnLockThread",
};

// A public that sleeps until its thread is destroyed.
inline emu::Public sleepForever() {
    return [](emu::Call& c) { c.native("SleepThread", {kLongSleep}); };
}

// Polls cond until it holds or the deadline passes.
inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds deadline = kDeadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

#ifdef _WIN32
// The calling OS thread's id.
pid_t osThreadId();
// Waits until the OS thread whose id tid holds is blocked in a wait, as one on
// a mutex, a condition or a join is; tests/thread_state_win32.cpp says how
// Windows tells. Script code stores its id right before the native call that
// must block it.
bool blocks(const std::atomic<pid_t>& tid);
// Whether the OS thread with that id has left the process.
bool threadGone(pid_t tid);
#else
// The calling OS thread's kernel id.
inline pid_t osThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// Whether the OS thread with that id has left the process's thread list.
inline bool threadGone(pid_t tid) {
    std::string task = "/proc/self/task/" + std::to_string(tid);
    return access(task.c_str(), F_OK) != 0;
}

// Waits until the OS thread whose id tid holds sleeps in the kernel, as one
// blocked on a mutex, a condition or a join does. Script code stores its id
// right before the native call that must block it.
inline bool blocks(const std::atomic<pid_t>& tid) {
    int sleepingPolls = 0;
    return eventually([&] {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        size_t name = text.rfind(')');
        bool sleeping = tid != 0 && name != std::string::npos && name + 2 < text.size() &&
                        text[name + 2] == 'S';
        // A thread may sleep a moment on an uncontended path; a blocked one stays.
        sleepingPolls = sleeping ? sleepingPolls + 1 : 0;
        return sleepingPolls >= 3;
    });
}
#endif

// The machine's error field, as the machine reads it while workers may write it.
inline int machineError(emu::Script& script) {
    return __atomic_load_n(&script.amx()->error, __ATOMIC_RELAXED);
}

// Holds script code until the test opens it, without touching the machine:
// to the plugin, a public waiting here is busy, not asleep.
class Gate {
  public:
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// Script code run as the main thread runs it, but on a thread of its own, for
// native calls that block.
class AsyncRun {
  public:
    AsyncRun(emu::Script& script, emu::Public code)
        : thread_([this, &script, code] {
              error_ = script.run(code);
              done_ = true;
          }) {}
    ~AsyncRun() { join(); }

    bool done() const { return done_; }
    // Waits for the code to end; returns the machine's error code.
    int join() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return error_;
    }

  private:
    std::atomic<bool> done_{false};
    int error_ = -1;
    std::thread thread_;
};

// Two scripts' main-thread code destroy one thread at once. The loser
// returns 0 at once, which shows that the winner's destruction has begun.
// Each in a machine of its own: two executions of one machine that start
// together would overlap on its stack.
class RacingDestroys {
  public:
    // onReturn runs in each destroyer with its result, as soon as it returns.
    RacingDestroys(
        emu::Script& first, emu::Script& second, cell id,
        std::function<void(cell)> onReturn = [](cell) {})
        : onReturn_(std::move(onReturn)),
          first_(first, destroyer(0, id)),
          second_(second, destroyer(1, id)) {}

    // Waits until one destroyer has returned; true when it lost and the
    // other still waits.
    bool loserReturned() {
        if (!eventually([&] { return first_.done() || second_.done(); })) {
            return false;
        }
        return !(first_.done() && second_.done()) && results_[first_.done() ? 0 : 1] == 0;
    }
    // Waits for both; true when exactly one destroyed the thread.
    bool exactlyOneDestroyed() {
        bool ran = (first_.join() == AMX_ERR_NONE) & (second_.join() == AMX_ERR_NONE);
        return ran && results_[0] + results_[1] == 1;
    }

  private:
    emu::Public destroyer(int index, cell id) {
        return [this, index, id](emu::Call& c) {
            results_[index] = c.native("DestroyThread", {id});
            onReturn_(results_[index]);
        };
    }

    std::function<void(cell)> onReturn_;
    std::array<std::atomic<cell>, 2> results_{{-1, -1}};
    AsyncRun first_;
    AsyncRun second_;
};

// The process's OS threads before the plugin starts any, or -1. A sanitizer's
// runtime starts a helper thread at the first thread start in the process:
// it is counted too. A joined thread may still be listed for a moment, so the
// count is taken once it is gone.
inline int threadBaseline() {
    static const bool threadStarted = [] {
        pid_t tid = 0;
        std::thread([&tid] { tid = osThreadId(); }).join();
        return eventually([&] { return threadGone(tid); });
    }();
    return threadStarted ? emu::countProcessThreads() : -1;
}

// Waits until the process has that many OS threads: an ended worker may still
// be listed for a moment.
inline bool threadsBackTo(int count) {
    return eventually([&] { return emu::countProcessThreads() == count; });
}

// A loaded plugin in a fresh host; unloads it and checks the host saw no fault.
class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        threadsBeforeLoad = threadBaseline();
        ASSERT_GE(threadsBeforeLoad, 0);
        host = std::make_unique<emu::EmulatedHost>(VANTREL_PLUGIN_PATH);
        ASSERT_TRUE(host->load());
    }

    void TearDown() override {
        // A failed test may leave publics held; Unload waits for them.
        for (auto& gate : gates_) {
            gate->open();
        }
        if (host->loaded()) {
            host->unload();
        }
        EXPECT_TRUE(host->faults().empty()) << host->faults().front();
        if (brokenRule_.empty()) {
            EXPECT_TRUE(host->scriptFaults().empty()) << host->scriptFaults().front();
        }
        host.reset();
    }

    // The test breaks one of the include's rules on purpose: it asserts what
    // the plugin guarantees even then, and the scripts' faults that the host
    // records are expected.
    void breaksRule(const char* rule) { brokenRule_ = rule; }

    // Runs code as the main script does; expects it to run to its end.
    void run(emu::Script& script, const emu::Public& code) {
        EXPECT_EQ(script.run(code), AMX_ERR_NONE);
    }

    // Main-thread code that creates a thread and sleeps right after: on a
    // shared machine, until the new worker has reached a native of its own,
    // as the include's first rule for such scripts says. Returns the new id.
    cell start(emu::Script& script, const std::string& publicName,
               const char* native = "CreateThread") {
        cell id = -1;
        int error = script.run([&](emu::Call& c) {
            id = c.native(native, {emu::str(publicName)});
            c.native("SleepThread", {0});
        });
        EXPECT_EQ(error, AMX_ERR_NONE) << native << "(\"" << publicName << "\")";
        return id;
    }
    cell startOnce(emu::Script& script, const std::string& publicName) {
        return start(script, publicName, "CreateThreadEx");
    }

    // One native call from the main thread.
    cell call(emu::Script& script, const std::string& name, std::initializer_list<emu::Arg> args) {
        cell result = -1;
        int error = script.run([&](emu::Call& c) { result = c.native(name, args); });
        EXPECT_EQ(error, AMX_ERR_NONE) << name;
        return result;
    }

    // A script machine that calls all six natives, with these publics.
    emu::Script& load(std::vector<std::pair<std::string, emu::Public>> publics = {}) {
        int registered = -1;
        emu::Script& script = host->loadScript({std::move(publics), kAllNatives}, &registered);
        EXPECT_EQ(registered, AMX_ERR_NONE);
        return script;
    }

    // The same script kept on the machine its workers share with the
    // server's code, as the include's VANTREL_SHARED_MACHINE keeps it.
    emu::Script& loadShared(std::vector<std::pair<std::string, emu::Public>> publics = {}) {
        emu::ScriptDefinition definition{std::move(publics), kAllNatives};
        definition.publicVariables = {{"vantrel_shared_machine", 1}};
        return host->loadScript(std::move(definition));
    }

    // A gate that outlives every worker and is opened before Unload.
    Gate& gate() {
        gates_.push_back(std::make_unique<Gate>());
        return *gates_.back();
    }

    // State for publics to share with the test: it outlives every worker.
    template <typename T>
    T& keep() {
        auto state = std::make_shared<T>();
        kept_.push_back(state);
        return *state;
    }

    // A script of the test's own, whose main-thread code runs beside other
    // scripts' workers without sharing a machine with them.
    emu::Script& observer() {
        if (observer_ == nullptr) {
            observer_ = &load();
        }
        return *observer_;
    }

    // Whether a thread has this id. Probed from the observer, so that a
    // worker abandoning its public in another machine cannot cut the probe
    // short. Blocks while another lock holds that thread's mutex.
    bool threadExists(cell id) {
        cell lock = call(observer(), "LockThread", {id});
        if (lock == 0) {
            return false;
        }
        EXPECT_EQ(call(observer(), "UnLockThread", {lock}), 1);
        return true;
    }

    // Waits until the process has the OS threads it had before Load, plus extra.
    bool workersEnded(int extra = 0) { return threadsBackTo(threadsBeforeLoad + extra); }

    std::unique_ptr<emu::EmulatedHost> host;
    int threadsBeforeLoad = 0;

  private:
    std::string brokenRule_;
    std::vector<std::unique_ptr<Gate>> gates_;
    std::vector<std::shared_ptr<void>> kept_;
    emu::Script* observer_ = nullptr;
};

}  // namespace test
