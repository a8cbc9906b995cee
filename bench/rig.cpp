#include "bench/rig.h"

#include <stdexcept>
#include <string>

#include "bench/fail.h"
#include "bench/pair_rounds.h"
#include "bench/probes.h"

namespace bench {

namespace {

Rig* g_rig = nullptr;

emu::ScriptDefinition benchScript() {
    emu::ScriptDefinition definition;
    definition.publics = {
        {"Once", [](emu::Call&) { exitSignal.arm(); }},
        {"Ran",
         [](emu::Call&) {
             exitSignal.arm();
             publicRan.fire();
         }},
        {"Sleeper",
         [](emu::Call& c) {
             Sleepers::Inside asleep;
             c.invoke(Rig::get().sleepThread, {kLongSleepMs});
         }},
        {"Spin", [](emu::Call&) { spins.count(); }},
        {"Compute", [](emu::Call&) { computation.run(); }},
        {"LockPairs",
         [](emu::Call& c) {
             cell self = c.arg(0);
             Rig& rig = Rig::get();
             pairRounds.take([&] {
                 cell lock = c.invoke(rig.lockThread, {self});
                 c.invoke(rig.unlockThread, {lock});
             });
         }},
    };
    definition.natives = {"CreateThread", "CreateThreadEx", "DestroyThread",
                          "SleepThread",  "LockThread",     "UnLockThread"};
    // Thousands of its workers live at once, each on a machine of its own
    // with the default stack and heap (#pragma dynamic 4096). The benchmarks
    // time the plugin, not the tests' model of each machine's stack.
    definition.dataCells = 2 * 4096;
    definition.stacksApart = true;
    return definition;
}

emu::Script& loadBenchScript(emu::EmulatedHost& host) {
    if (!host.load()) {
        throw std::runtime_error("the plugin's Load failed");
    }
    int registered = -1;
    emu::Script& script = host.loadScript(benchScript(), &registered);
    if (registered != AMX_ERR_NONE) {
        throw std::runtime_error("the plugin registered too few natives");
    }
    return script;
}

}  // namespace

Rig::Rig()
    : host(VANTREL_PLUGIN_PATH),
      script(loadBenchScript(host)),
      createThread(script.imported("CreateThread")),
      createThreadEx(script.imported("CreateThreadEx")),
      destroyThread(script.imported("DestroyThread")),
      sleepThread(script.imported("SleepThread")),
      lockThread(script.imported("LockThread")),
      unlockThread(script.imported("UnLockThread")),
      onceName(script.store(emu::packString("Once"))),
      ranName(script.store(emu::packString("Ran"))),
      sleeperName(script.store(emu::packString("Sleeper"))),
      spinName(script.store(emu::packString("Spin"))),
      computeName(script.store(emu::packString("Compute"))),
      lockPairsName(script.store(emu::packString("LockPairs"))) {
    script.findPublic("Ran", &ranIndex);
    script.findPublic("Spin", &spinIndex);
    g_rig = this;
}

Rig::~Rig() {
    g_rig = nullptr;
}

std::vector<std::string> Rig::unload() {
    host.unloadScript(script);
    host.unload();
    return host.faults();
}

Rig& Rig::get() {
    return *g_rig;
}

void Rig::run(const emu::Public& code) {
    int error = script.run(code);
    if (error != AMX_ERR_NONE) {
        fail("the machine abandoned main-thread code, error " + std::to_string(error));
    }
}

cell Rig::call(const emu::ImportedNative& native, cell argument) {
    cell result = 0;
    run([&](emu::Call& c) { result = c.invoke(native, {argument}); });
    return result;
}

cell Rig::start(cell publicName) {
    cell id = 0;
    run([&](emu::Call& c) {
        id = c.invoke(createThread, {publicName});
        c.invoke(sleepThread, {0});
    });
    return id;
}

}  // namespace bench
