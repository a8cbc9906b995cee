// Loads the built plugin into the emulated server and runs a short sample
// script: a looping worker, a single-shot job reaped by server ticks, and a
// sleeping worker destroyed from the main script.
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

// The server's main loop while the main script waits for something: it keeps
// ticking the plugin.
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
    emu::Script& script = host.loadScript({{
        {"Heartbeat",
         [&](emu::Call& c) {
             say("[thread %d] heartbeat %d", c.arg(0), ++beats);
             c.native("SleepThread", {50});
         }},
        {"Job",
         [&](emu::Call& c) {
             say("[thread %d] single-shot job runs once", c.arg(0));
             jobDone = true;
         }},
        {"Sleeper",
         [&](emu::Call& c) {
             say("[thread %d] sleeping for a minute", c.arg(0));
             asleep = true;
             c.native("SleepThread", {60000});
             wokeUp = true;
         }},
    }});

    bool ok = true;
    int error = script.run([&](emu::Call& c) {
        cell heartbeat = c.native("CreateThread", {emu::str("Heartbeat")});
        say("CreateThread(\"Heartbeat\") = %d", heartbeat);
        ok &= tickUntil(host, [&] { return beats >= 3; });

        cell job = c.native("CreateThreadEx", {emu::str("Job")});
        say("CreateThreadEx(\"Job\") = %d", job);
        ok &= tickUntil(host, [&] { return jobDone.load(); });
        // The finished job keeps its id until a tick reaps it; LockThread
        // answers 0 once no thread has the id.
        int ticks = 0;
        ok &= tickUntil(host, [&] {
            ++ticks;
            cell lock = c.native("LockThread", {job});
            if (lock == 0) {
                return true;
            }
            c.native("UnLockThread", {lock});
            return false;
        });
        say("thread %d reaped by the server's ticks (%d polls)", job, ticks);

        cell sleeper = c.native("CreateThread", {emu::str("Sleeper")});
        say("CreateThread(\"Sleeper\") = %d", sleeper);
        ok &= tickUntil(host, [&] { return asleep.load(); });
        auto start = std::chrono::steady_clock::now();
        cell destroyed = c.native("DestroyThread", {sleeper});
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        say("DestroyThread(%d) = %d after %lld ms; the sleeper %s", sleeper, destroyed,
            static_cast<long long>(took.count()), wokeUp ? "ran on (wrong)" : "ran no further");
        ok &= destroyed == 1 && !wokeUp;

        say("DestroyThread(%d) = %d", heartbeat, c.native("DestroyThread", {heartbeat}));
        say("DestroyThread(%d) = %d (no such thread any more)", heartbeat,
            c.native("DestroyThread", {heartbeat}));
    });
    ok &= error == AMX_ERR_NONE;

    std::printf("server | unloading the script and the plugin\n");
    host.unloadScript(script);
    host.unload();
    ok &= host.faults().empty();
    std::printf("server | %s\n", ok ? "demo finished" : "demo FAILED");
    return ok ? 0 : 1;
}
