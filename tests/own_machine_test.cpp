// Workers of a script that creates threads, each on a machine struct of its
// own: in both servers' models they run script code beside each other and
// beside the script's callbacks and timers, are handed their own struct, are
// refused the natives that keep it, and leave the host its block at unload.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <set>
#ifdef _WIN32
#include <windows.h>
#endif

#include "emuhost/openmp_server.h"
#include "emuhost/registers.h"
#include "tests/support.h"

namespace {

constexpr int kLoops = 4;
constexpr int kSingleShots = 64;
// What recursive code with local arrays keeps on its stack.
constexpr size_t kLocals = 96;

void** g_exports = nullptr;

cell& global(const AMX& amx, cell address) {
    return *reinterpret_cast<cell*>(emu::dataOf(amx) + address);
}

// What a server's native saw of the struct that called it.
struct Probe {
    std::atomic<AMX*> handed{nullptr};
    std::atomic<int> viaHanded{-1};
    std::atomic<int> viaScripts{-1};
};
Probe g_probe;

cell probe(AMX* amx, cell* params) {
    auto getAddr = reinterpret_cast<amx_GetAddr_t>(g_exports[PLUGIN_AMX_EXPORT_GetAddr]);
    cell* cells = nullptr;
    g_probe.handed = amx;
    g_probe.viaHanded = getAddr(amx, params[1], &cells);
    g_probe.viaScripts = getAddr(emu::Script::of(amx).amx(), params[1], &cells);
    return 0;
}

class OwnMachines : public ::testing::TestWithParam<bool> {
  protected:
    bool openMp() const { return GetParam(); }

    void SetUp() override {
        host = std::make_unique<emu::EmulatedHost>(VANTREL_PLUGIN_PATH);
        g_exports = host->amxExports();
        if (openMp()) {
            server = std::make_unique<emu::OpenMpServer>(*host);
            ASSERT_TRUE(server->start());
        } else {
            ASSERT_TRUE(host->load());
        }
    }

    void TearDown() override {
        if (openMp()) {
            server->shutdown();
        } else {
            host->unload();
        }
        EXPECT_TRUE(host->faults().empty()) << host->faults().front();
        EXPECT_TRUE(host->scriptFaults().empty()) << host->scriptFaults().front();
        server.reset();
        host.reset();
    }

    emu::Script& load(std::vector<std::pair<std::string, emu::Public>> publics,
                      bool dataInImage = false) {
        emu::ScriptDefinition definition{std::move(publics), test::kAllNatives};
        definition.dataInImage = dataInImage;
        definition.serverNatives = {{"Probe", &probe}};
        if (openMp()) {
            definition.natives.insert(definition.natives.end(), emu::OpenMpServer::kNatives.begin(),
                                      emu::OpenMpServer::kNatives.end());
            return server->loadScript(std::move(definition));
        }
        return host->loadScript(std::move(definition));
    }

    void run(emu::Script& script, const emu::Public& code) {
        EXPECT_EQ(script.run(code), AMX_ERR_NONE);
    }

    void tick() { openMp() ? server->tick() : host->tick(); }

    std::unique_ptr<emu::EmulatedHost> host;
    std::unique_ptr<emu::OpenMpServer> server;
};

TEST_P(OwnMachines, WorkersCallbacksAndTimersRunScriptCodeAtOnce) {
    std::array<std::atomic<int>, kLoops> rounds{};
    std::atomic<int> alive{0};
    std::atomic<bool> timerRan{false};
    // Main-thread code that stays in script code until every looping worker
    // has run a few more rounds of its own beside it.
    auto besideWorkers = [&rounds](emu::Call& c) {
        c.useStack(kLocals);
        std::array<int, kLoops> from{};
        for (int i = 0; i < kLoops; ++i) {
            from[i] = rounds[i];
        }
        EXPECT_TRUE(test::eventually([&] {
            for (int i = 0; i < kLoops; ++i) {
                if (rounds[i] < from[i] + 3) {
                    return false;
                }
            }
            return true;
        }));
    };
    emu::Script& script = load({
        {"Loop",
         [&rounds](emu::Call& c) {
             c.useStack(kLocals);
             ++rounds[static_cast<size_t>(c.arg(0) - 1)];
             c.native("SleepThread", {0});
         }},
        // Alive at once, each in script code until all are.
        {"Once",
         [&alive](emu::Call& c) {
             c.useStack(kLocals);
             ++alive;
             EXPECT_TRUE(test::eventually([&] { return alive == kSingleShots; }));
         }},
        {"Timer",
         [&](emu::Call& c) {
             besideWorkers(c);
             timerRan = true;
         }},
    });
    // No sleep after CreateThread: each worker starts at once.
    run(script, [](emu::Call& c) {
        for (cell id = 1; id <= kLoops; ++id) {
            EXPECT_EQ(c.native("CreateThread", {emu::str("Loop")}), id);
        }
    });
    run(script, besideWorkers);
    run(script, [](emu::Call& c) {
        for (int i = 0; i < kSingleShots; ++i) {
            EXPECT_GT(c.native("CreateThreadEx", {emu::str("Once")}), 0);
        }
        c.useStack(kLocals);
    });
    EXPECT_TRUE(test::eventually([&] { return alive == kSingleShots; }));
    run(script, [](emu::Call& c) {
        EXPECT_GT(c.native("SetTimer", {emu::str("Timer"), 5, 0}), 0);
    });
    EXPECT_TRUE(test::eventually([&] {
        tick();
        return timerRan.load();
    }));
    run(script, [](emu::Call& c) {
        for (cell id = 1; id <= kLoops; ++id) {
            EXPECT_EQ(c.native("DestroyThread", {id}), 1);
        }
    });
}

// A worker's natives get the worker's struct: its strings live on its own
// heap, which the script's struct does not reach. What would keep that struct
// for later is refused, and said once.
TEST_P(OwnMachines, AWorkerIsHandedItsOwnStructAndRefusedWhatWouldKeepIt) {
    std::atomic<cell> child{-1};
    std::atomic<int> childRuns{0};
    std::vector<cell> kept;
    std::atomic<bool> done{false};
    emu::Script& script = load({
        {"Child", [&childRuns](emu::Call&) { ++childRuns; }},
        {"Work",
         [&](emu::Call& c) {
             c.native("Probe", {emu::str("text")});
             child = c.native("CreateThreadEx", {emu::str("Child")});
             for (int i = 0; i < 2; ++i) {
                 kept.push_back(c.native("SetTimer", {emu::str("Child"), 5, 1}));
                 if (openMp()) {
                     kept.push_back(c.native(
                         "HTTP", {1, 1, emu::str("localhost"), emu::str(""), emu::str("Child")}));
                 }
             }
             done = true;
         }},
    });
    run(script, [](emu::Call& c) { EXPECT_EQ(c.native("CreateThreadEx", {emu::str("Work")}), 1); });
    ASSERT_TRUE(test::eventually([&] { return done.load(); }));
    EXPECT_NE(g_probe.handed.load(), script.amx());
    EXPECT_EQ(g_probe.viaHanded, AMX_ERR_NONE);
    EXPECT_EQ(g_probe.viaScripts, AMX_ERR_MEMACCESS);
    EXPECT_GT(child, 0);
    EXPECT_TRUE(test::eventually([&] { return childRuns == 1; }));
    EXPECT_EQ(kept, std::vector<cell>(kept.size(), 0));
    if (openMp()) {
        EXPECT_TRUE(server->httpCallers().empty());
    }
    for (int i = 0; i < 4; ++i) {
        tick();
    }
    EXPECT_EQ(childRuns, 1);
    std::map<std::string, int> refusals;
    for (const std::string& line : host->log()) {
        if (line.find("Vantrel: refused ") == 0) {
            ++refusals[line.substr(17, line.find(' ', 17) - 17)];
        }
    }
    std::map<std::string, int> once = {{"SetTimer", 1}};
    if (openMp()) {
        once["HTTP"] = 1;
    }
    EXPECT_EQ(refusals, once);
}

// The block moves at AmxLoad and comes back at AmxUnload with what the
// workers wrote to the globals; the host's own check at AmxUnload's return
// finds the struct as it left it. A reload of the same struct is a load.
TEST_P(OwnMachines, UnloadGivesTheHostItsBlockBackWithTheGlobals) {
    for (bool dataInImage : {false, true}) {
        std::atomic<cell> written{0};
        std::atomic<cell> address{0};
        std::atomic<cell> workerStk{0};
        emu::Script& script = load({{"Write",
                                     [&](emu::Call& c) {
                                         workerStk = emu::load(c.amx(), emu::Register::stk);
                                         address = c.script().store({0});
                                         global(c.amx(), address) = written + 1;
                                         ++written;
                                     }}},
                                   dataInImage);
        emu::RestingRegisters atLoad = script.registers();
        atLoad.data = dataInImage ? nullptr : script.hostBlock();
        auto startWriter = [&] {
            run(script, [](emu::Call& c) {
                EXPECT_GT(c.native("CreateThreadEx", {emu::str("Write")}), 0);
            });
        };
        startWriter();
        ASSERT_TRUE(test::eventually([&] { return written == 1; }));
        EXPECT_GT(workerStk, atLoad.stp) << "the worker's stack lies beyond the script's";
        EXPECT_NE(script.amx()->data, script.hostBlock());
        ASSERT_EQ(host->amxUnload(script), AMX_ERR_NONE);
        EXPECT_TRUE(script.registers() == atLoad);
        EXPECT_EQ(global(*script.amx(), address), 1);

        ASSERT_EQ(host->amxLoad(script), AMX_ERR_NONE);
        startWriter();
        ASSERT_TRUE(test::eventually([&] { return written == 2; }));
        openMp() ? server->unloadScript(script) : static_cast<void>(host->unloadScript(script));
    }
}

// A script that imports no native creating threads keeps its block.
TEST_P(OwnMachines, AScriptThatCreatesNoThreadsIsLeftAlone) {
    emu::ScriptDefinition definition{{}, {"SleepThread", "LockThread"}};
    emu::Script& script = openMp() ? server->loadScript(std::move(definition))
                                   : host->loadScript(std::move(definition));
    EXPECT_EQ(script.amx()->data, script.hostBlock());
}

INSTANTIATE_TEST_SUITE_P(Servers, OwnMachines, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "OpenMp" : "SaMp";
                         });

// What the dying copy of the test exits with when a write faults.
constexpr int kFaulted = 3;

#ifdef _WIN32
LONG WINAPI exitOnAccessFault(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        std::_Exit(kFaulted);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
#else
void exitOnAccessFault(int) {
    std::_Exit(kFaulted);
}
#endif

// Recursion past a worker's stack runs into the guard page below its heap,
// not into the script's block or another worker's slot. The block here is
// twice the worker's room, so that the same recursion on the script's own
// struct would stay inside it.
void overrunAWorkersStack() {
#ifdef _WIN32
    AddVectoredExceptionHandler(1, &exitOnAccessFault);
#else
    std::signal(SIGSEGV, &exitOnAccessFault);
#endif
    emu::EmulatedHost host(VANTREL_PLUGIN_PATH);
    host.load();
    emu::ScriptDefinition definition{{{"Deep", [](emu::Call& c) { c.useStack(6 * 1024); }}},
                                     test::kAllNatives};
    definition.dataCells = 8 * 1024;
    emu::Script& script = host.loadScript(std::move(definition));
    script.run([](emu::Call& c) { c.native("CreateThreadEx", {emu::str("Deep")}); });
    test::eventually([] { return false; });
    std::fprintf(stderr, "the overrun went unnoticed\n");
    std::exit(0);
}

TEST(OwnMachineDeathTest, AnOverrunOfAWorkersStackStopsAtItsGuardPage) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(overrunAWorkersStack(), ::testing::ExitedWithCode(kFaulted), "");
}

}  // namespace
