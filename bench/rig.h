// The plugin loaded into the emulated host for the whole run, and the script
// whose publics the benchmarks run on script threads.
#pragma once

#include <string>
#include <vector>

#include "emuhost/emulated_host.h"

namespace bench {

// Long enough to outlast any benchmark: the thread is woken only by its
// destruction.
const cell kLongSleepMs = 3600 * 1000;

class Rig {
  public:
    Rig();
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    static Rig& get();

    // Unloads the script and then the plugin, as the server shuts down, and
    // returns the faults the host saw in the plugin.
    std::vector<std::string> unload();

    // Runs code as the script's main-thread code. Code that the machine
    // abandoned leaves nothing a benchmark could trust: the run stops.
    void run(const emu::Public& code);
    // One native call as main-thread code.
    cell call(const emu::ImportedNative& native, cell argument);
    // CreateThread as main-thread code that then sleeps until the new worker
    // has reached a native of its own, or returned.
    cell start(cell publicName);

    emu::EmulatedHost host;
    emu::Script& script;

    emu::ImportedNative createThread;
    emu::ImportedNative createThreadEx;
    emu::ImportedNative destroyThread;
    emu::ImportedNative sleepThread;
    emu::ImportedNative lockThread;
    emu::ImportedNative unlockThread;

    // Script addresses of the publics' names, as CreateThread takes them.
    // Once: returns at once. Ran: says it runs, and returns. Sleeper: sleeps
    // until destroyed. Spin: counts its calls. Compute: computes until
    // computation is stopped. LockPairs: runs pairRounds' lock pairs on its own
    // thread.
    cell onceName;
    cell ranName;
    cell sleeperName;
    cell spinName;
    cell computeName;
    cell lockPairsName;
    int ranIndex = -1;
    int spinIndex = -1;
};

}  // namespace bench
