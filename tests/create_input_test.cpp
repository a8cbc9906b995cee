// What CreateThread and CreateThreadEx accept as a public's name. A name
// arrives as a script address; the plugin must never trust it.
#include <climits>
#include <map>

#include "tests/support.h"

namespace {

using test::PluginTest;

// Names one character apart, so that a truncated name would start the wrong
// public instead of failing. No compiler makes a public of 64 characters.
const std::string kName31 = "Worker" + std::string(25, 'x');
const std::string kName32 = kName31 + "y";
const std::string kName63 = kName32 + std::string(31, 'z');
const std::string kName64 = kName63 + "w";

class CreateInput : public PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        runs = &keep<std::map<std::string, std::atomic<int>>>();
        std::vector<std::pair<std::string, emu::Public>> publics;
        for (const std::string& name : {std::string("Work"), kName31, kName32, kName63}) {
            std::atomic<int>& count = (*runs)[name];
            publics.emplace_back(name, [&count](emu::Call& c) {
                ++count;
                c.native("SleepThread", {test::kLongSleep});
            });
        }
        script = &load(std::move(publics));
    }

    std::map<std::string, std::atomic<int>>* runs = nullptr;
    emu::Script* script = nullptr;
};

TEST_F(CreateInput, RejectedNamesCreateNothing) {
    cell dataEnd = script->dataBytes();
    std::vector<std::pair<std::string, emu::Arg>> rejected = {
        {"empty", emu::str("")},
        {"empty packed", emu::packed("")},
        {"negative address", cell{-4}},
        {"address -1", cell{-1}},
        {"misaligned address", cell{2}},
        {"address past the data", dataEnd},
        {"far address", cell{INT_MAX - 3}},
        {"lowest address", cell{INT_MIN}},
        // The machine's last data cell is zero: an empty string at the edge.
        {"empty string at the end of the data", dataEnd - 4},
        {"64 characters naming a public", emu::str(kName64)},
        {"64 characters packed", emu::packed(kName64)},
        {"far too long", emu::str(std::string(5000, 'x'))},
        {"no such public", emu::str("NoSuchPublic")},
        {"no such public packed", emu::packed("NoSuchPublic")},
        {"case differs", emu::str("work")},
        {"prefix of a public", emu::str("Wor")},
    };
    for (const char* native : {"CreateThread", "CreateThreadEx"}) {
        for (const auto& input : rejected) {
            EXPECT_EQ(call(*script, native, {input.second}), 0) << native << ": " << input.first;
        }
    }
    EXPECT_EQ(emu::countProcessThreads(), threadsBeforeLoad);
    EXPECT_EQ((*runs)[kName63], 0);
    for (int i = 0; i < 3; ++i) {
        host->tick();
    }
    EXPECT_EQ(call(*script, "CreateThread", {emu::str("Work")}), 1);
}

TEST_F(CreateInput, NamesUpToTheLongestPublicNameWorkPackedOrNot) {
    // Started together, while this code waits: each builds on the stack
    // below the one before.
    run(*script, [&](emu::Call& c) {
        cell id = 0;
        for (const std::string& name : {kName31, kName32, kName63}) {
            for (const char* native : {"CreateThread", "CreateThreadEx"}) {
                EXPECT_EQ(c.native(native, {emu::str(name)}), ++id) << native << " " << name;
                EXPECT_EQ(c.native(native, {emu::packed(name)}), ++id) << native << " " << name;
            }
        }
        c.native("SleepThread", {0});
    });
    for (const std::string& name : {kName31, kName32, kName63}) {
        EXPECT_TRUE(test::eventually([&] { return (*runs)[name] == 4; })) << name;
    }
    EXPECT_EQ((*runs)["Work"], 0);
}

// A script file is input: a public's name may be longer than any compiler
// makes one. The lookup of another public passes it on the way and must
// copy it into room enough (the address sanitizer build tells).
TEST_F(PluginTest, APublicNamedLongerThanACompilerMakesIsPassedSafely) {
    auto& runs = keep<std::atomic<int>>();
    emu::Script& script = load({{"Alpha", [](emu::Call&) {}},
                                {"M" + std::string(300, 'x'), [](emu::Call&) {}},
                                {"Zulu", [&runs](emu::Call&) { ++runs; }}});
    EXPECT_EQ(startOnce(script, "Zulu"), 1);
    EXPECT_TRUE(test::eventually([&] { return runs == 1; }));
}

}  // namespace
