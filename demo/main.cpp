// Loads the built plugin into the emulated server and runs three short sample
// filterscripts, each with one worker, as the include's rules have them: a
// looping worker, a single-shot job reaped by server ticks, and a sleeping
// worker destroyed from its script's code.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "emuhost/emulated_host.h"

namespace {

std::mutex printGuard;

void say(const char* format, ...) {
    std::lock_guard<std::mutex> lock(printGuard);
    std::printf("script | ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

// The server's main loop: it ticks the plugin between the scripts' callbacks.
bool tickUntil(emu::EmulatedHost& host, const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        host.tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A filterscript's init: creates its one worker, which starts at once on a
// machine of its own. Returns the thread's id.
cell init(emu::Script& script, const char* native, const char* publicName) {
    cell id = 0;
    script.run([&](emu::Call& c) {
        id = c.native(native, {emu::str(publicName)});
        say("%s(\"%s\") = %d", native, publicName, id);
    });
    return id;
}

// The natives each demo script imports.
const std::vector<std::string> kNatives = {"CreateThread", "CreateThreadEx", "DestroyThread",
                                           "SleepThread",  "LockThread",     "UnLockThread"};

}  // namespace

int main(int argc, char** argv) {
    const char* plugin = argc > 1 ? argv[1] : VANTREL_PLUGIN_PATH;
    emu::EmulatedHost host(plugin);
    host.echoLog(true);
    std::printf("server | loading %s\n", plugin);
    if (!host.load()) {
        return 1;
    }

    std::atomic<int> beats{0};
    std::atomic<bool> jobDone{false};
    std::atomic<bool> asleep{false};
    std::atomic<bool> wokeUp{false};
    emu::Script& heartbeat =
        host.loadScript({{{"Heartbeat",
                           [&](emu::Call& c) {
                               for (;;) {
                                   say("[thread %d] heartbeat %d", c.arg(0), ++beats);
                                   c.native("SleepThread", {50});
                               }
                           }}},
                         kNatives});
    emu::Script& job =
        host.loadScript({{{"Job",
                           [&](emu::Call& c) {
                               say("[thread %d] single-shot job runs once", c.arg(0));
                               jobDone = true;
                           }}},
                         kNatives});
    emu::Script& sleeper =
        host.loadScript({{{"Sleeper",
                           [&](emu::Call& c) {
                               say("[thread %d] sleeping for a minute", c.arg(0));
                               asleep = true;
                               c.native("SleepThread", {60000});
                               wokeUp = true;
                           }}},
                         kNatives});

    bool ok = true;
    cell beating = init(heartbeat, "CreateThread", "Heartbeat");
    ok &= tickUntil(host, [&] { return beats >= 3; });

    cell jobId = init(job, "CreateThreadEx", "Job");
    ok &= tickUntil(host, [&] { return jobDone.load(); });
    // The finished job keeps its id until a tick reaps it; LockThread answers
    // 0 once no thread has the id.
    int ticks = 0;
    ok &= tickUntil(host, [&] {
        ++ticks;
        cell lock = 0;
        job.run([&](emu::Call& c) {
            lock = c.native("LockThread", {jobId});
            if (lock != 0) {
                c.native("UnLockThread", {lock});
            }
        });
        return lock == 0;
    });
    say("thread %d reaped by the server's ticks (%d polls)", jobId, ticks);

    cell sleeping = init(sleeper, "CreateThread", "Sleeper");
    ok &= tickUntil(host, [&] { return asleep.load(); });
    // A later callback of the sleeper's script.
    sleeper.run([&](emu::Call& c) {
        auto start = std::chrono::steady_clock::now();
        cell destroyed = c.native("DestroyThread", {sleeping});
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        say("DestroyThread(%d) = %d after %lld ms; the sleeper %s", sleeping, destroyed,
            static_cast<long long>(took.count()), wokeUp ? "ran on (wrong)" : "ran no further");
        ok &= destroyed == 1 && !wokeUp;
    });
    heartbeat.run([&](emu::Call& c) {
        say("DestroyThread(%d) = %d", beating, c.native("DestroyThread", {beating}));
        say("DestroyThread(%d) = %d (no such thread any more)", beating,
            c.native("DestroyThread", {beating}));
    });

    std::printf("server | unloading the scripts and the plugin\n");
    for (emu::Script* script : {&heartbeat, &job, &sleeper}) {
        host.unloadScript(*script);
    }
    host.unload();
    ok &= host.faults().empty() && host.scriptFaults().empty();
    std::printf("server | %s\n", ok ? "demo finished" : "demo FAILED");
    return ok ? 0 : 1;
}
