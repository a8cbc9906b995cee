// The six entry points as the server sees them: what the file exports, the
// banners, native registration in every machine and an idle tick.
#ifndef _WIN32
#include <elf.h>
#include <link.h>
#endif

#include <array>
#include <fstream>
#include <iterator>
#include <set>

#include "tests/support.h"
#ifdef _WIN32
#include "tests/pe_exports.h"
#endif

namespace {

using test::PluginTest;

const std::string kRule = std::string(38, '_') + "\n";
const std::set<std::string> kEntryPoints = {"Supports", "Load",      "Unload",
                                            "AmxLoad",  "AmxUnload", "ProcessTick"};

#ifdef _WIN32
using test::exportedSymbols;
#else
// Every symbol the file defines and makes visible to dlsym, read from its
// dynamic symbol table.
std::set<std::string> exportedSymbols(const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(file)), {});
    auto* header = reinterpret_cast<const ElfW(Ehdr)*>(image.data());
    auto* sections = reinterpret_cast<const ElfW(Shdr)*>(image.data() + header->e_shoff);
    std::set<std::string> names;
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM) {
            continue;
        }
        const char* strings = image.data() + sections[sections[i].sh_link].sh_offset;
        auto* symbols = reinterpret_cast<const ElfW(Sym)*>(image.data() + sections[i].sh_offset);
        for (size_t s = 0; s < sections[i].sh_size / sizeof(ElfW(Sym)); ++s) {
            int binding = ELF32_ST_BIND(symbols[s].st_info);
            if (symbols[s].st_shndx != SHN_UNDEF &&
                (binding == STB_GLOBAL || binding == STB_WEAK)) {
                names.insert(strings + symbols[s].st_name);
            }
        }
    }
    return names;
}
#endif

TEST(Lifecycle, SupportsAndBannersAroundLoadAndUnload) {
    emu::EmulatedHost host(VANTREL_PLUGIN_PATH);
    EXPECT_EQ(host.supports(), 0x30200u);
    ASSERT_TRUE(host.load());
    EXPECT_EQ(host.supports(), 0x30200u);
    std::vector<std::string> log = host.log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], "\n");
    EXPECT_EQ(log[1], kRule);
    EXPECT_EQ(log[2], " Vantrel plugin v" VANTREL_VERSION " loaded");
    EXPECT_EQ(log[3], kRule);
    ASSERT_GT(log[4].size(), 1u);
    EXPECT_EQ(log[4][0], ' ');
    EXPECT_EQ(log[4].find('\n'), std::string::npos);
    EXPECT_EQ(log[5], kRule);

    host.unload();
    log = host.log();
    std::vector<std::string> unloadBanner(log.begin() + 6, log.end());
    EXPECT_EQ(unloadBanner,
              (std::vector<std::string>{"\n", kRule,
                                        " Vantrel plugin v" VANTREL_VERSION " unloaded", kRule}));
    EXPECT_TRUE(host.faults().empty()) << host.faults().front();
}

TEST(Lifecycle, ExportsTheSixEntryPointsAndNothingElse) {
    EXPECT_EQ(exportedSymbols(VANTREL_PLUGIN_PATH), kEntryPoints);
}

// What the plugin hands to amx_Register, machine by machine.
struct Registration {
    std::vector<std::string> names;
    int number;
};
amx_Register_t realRegister = nullptr;
std::vector<Registration> registrations;

int recordingRegister(AMX* amx, const AMX_NATIVE_INFO* list, int number) {
    Registration seen{{}, number};
    for (const AMX_NATIVE_INFO* entry = list; entry->name != nullptr; ++entry) {
        seen.names.push_back(entry->name);
    }
    registrations.push_back(seen);
    return realRegister(amx, list, number);
}

TEST_F(PluginTest, AmxLoadRegistersTheSixNativesInEveryMachine) {
    void*& slot = host->amxExports()[PLUGIN_AMX_EXPORT_Register];
    realRegister = reinterpret_cast<amx_Register_t>(slot);
    slot = reinterpret_cast<void*>(&recordingRegister);
    registrations.clear();

    load();
    load();
    int registered = -1;
    host->loadScript({{}, {"CreateThread", "NoSuchNative"}}, &registered);
    EXPECT_EQ(registered, AMX_ERR_NOTFOUND);

    ASSERT_EQ(registrations.size(), 3u);
    for (const Registration& seen : registrations) {
        EXPECT_EQ(seen.names, test::kAllNatives);
        EXPECT_EQ(seen.number, -1);
    }
}

TEST_F(PluginTest, MachinesShareOneIdSpace) {
    auto& calls = keep<std::array<std::atomic<int>, 2>>();
    auto worker = [&calls](int machine) {
        return [&calls, machine](emu::Call& c) {
            ++calls[machine];
            c.native("SleepThread", {test::kLongSleep});
        };
    };
    emu::Script& first = load({{"Work", worker(0)}});
    emu::Script& second = load({{"Work", worker(1)}});
    EXPECT_EQ(start(first, "Work"), 1);
    EXPECT_EQ(start(second, "Work"), 2);
    // Each thread runs the public of the script that created it.
    ASSERT_TRUE(test::eventually([&] { return calls[0] == 1 && calls[1] == 1; }));
    EXPECT_EQ(call(second, "DestroyThread", {1}), 1);
    EXPECT_EQ(call(first, "CreateThreadEx", {emu::str("Work")}), 1);
    EXPECT_EQ(call(second, "CreateThreadEx", {emu::str("Work")}), 3);
}

TEST_F(PluginTest, TickWithNothingQueuedChangesNothing) {
    host->tick();
    auto& calls = keep<std::atomic<int>>();
    test::Gate& held = gate();
    emu::Script& looping = load({{"Loop", [&calls](emu::Call&) { ++calls; }}});
    emu::Script& holding = load({{"Held", [&held](emu::Call& c) {
                                      c.native("SleepThread", {0});
                                      held.wait();
                                  }}});
    // A public that returns at once is started by a tick, once its creator's
    // code has returned: its next call could meet that return otherwise.
    EXPECT_EQ(call(looping, "CreateThread", {emu::str("Loop")}), 1);
    host->tick();
    EXPECT_EQ(startOnce(holding, "Held"), 2);
    for (int i = 0; i < 20; ++i) {
        host->tick();
    }
    int before = calls;
    ASSERT_TRUE(test::eventually([&] { return calls > before; }));
    EXPECT_TRUE(threadExists(1));
    EXPECT_TRUE(threadExists(2));
    emu::Script& quick = load({{"Quick", [](emu::Call&) {}}});
    EXPECT_EQ(call(quick, "CreateThreadEx", {emu::str("Quick")}), 3);
    held.open();
}

}  // namespace
