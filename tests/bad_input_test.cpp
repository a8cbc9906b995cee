// Arguments no script should pass, through every native, from the main thread
// and from a worker: nothing may crash, nothing may be created or held, and a
// native that did nothing returns 0.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "emuhost/emulated_host.h"
#include "tests/support.h"

namespace {

const std::string k31(31, 'p');
const std::string k32(32, 'q');
const std::string k32Missing(32, 'r');
const std::string k10000(10000, 'a');

// The ids that no native may act on: never handed out, out of range, or
// handed out and freed again (added by the sweep as it makes them).
std::vector<cell> badIds() {
    return {0, -1, INT_MIN, INT_MAX, 4096, 1 << 20};
}

class BadInputTest : public test::PluginTest {
  protected:
    void SetUp() override {
        test::PluginTest::SetUp();
        auto sleepBriefly = [](emu::Call& c) { c.native("SleepThread", {1}); };
        emu::ScriptDefinition definition;
        definition.publics = {
            {"a", sleepBriefly},
            {k31, sleepBriefly},
            {k32, sleepBriefly},
            {"sweep", [this](emu::Call& c) { workerSweep(c); }},
            {"sleeper",
             [this](emu::Call& c) {
                 sleeperStarted = true;
                 c.native("SleepThread", {INT_MAX});
                 sleeperWokeUp = true;
             }},
        };
        definition.natives = test::kAllNatives;
        script = &host->loadScript(std::move(definition));
        baseline = emu::countProcessThreads();
    }

    // Every bad input once, through c; mismatches go to failures.
    void sweep(emu::Call& c, std::vector<std::string>& failures, int& tried) {
        // Counts the bad inputs; the valid calls that set them up are checked alike.
        auto check = [&](const std::string& what, cell got, bool ok, bool bad) {
            tried += bad;
            if (!ok) {
                failures.push_back(what + " returned " + std::to_string(got));
            }
        };
        auto expect = [&](const std::string& what, cell got, bool ok) {
            check(what, got, ok, true);
        };
        auto expectOne = [&](const std::string& what, cell got) {
            check(what, got, got == 1, false);
        };
        emu::Script& s = c.script();

        std::vector<cell> threadIds = badIds();
        cell freedThread = c.native("CreateThread", {emu::str("a")});
        check("CreateThread(\"a\")", freedThread, freedThread > 0, false);
        expectOne("DestroyThread(new thread)", c.native("DestroyThread", {freedThread}));
        threadIds.push_back(freedThread);

        std::vector<cell> lockIds = badIds();
        cell holder = c.native("CreateThread", {emu::str("a")});
        cell freedLock = c.native("LockThread", {holder});
        check("LockThread(new thread)", freedLock, freedLock > 0, false);
        expectOne("UnLockThread(new lock)", c.native("UnLockThread", {freedLock}));
        lockIds.push_back(freedLock);
        expectOne("DestroyThread(holder)", c.native("DestroyThread", {holder}));
        threadIds.push_back(holder);

        auto expectNothingDone = [&](const char* native, cell arg) {
            cell result = c.native(native, {arg});
            expect(std::string(native) + "(" + std::to_string(arg) + ")", result, result == 0);
        };
        for (cell id : threadIds) {
            expectNothingDone("DestroyThread", id);
            expectNothingDone("LockThread", id);
        }
        for (cell id : lockIds) {
            expectNothingDone("UnLockThread", id);
        }
        for (cell ms : {0, -1, -1000000, INT_MIN}) {
            cell result = c.native("SleepThread", {ms});
            expect("SleepThread(" + std::to_string(ms) + ")", result, result == 1);
        }

        // Script addresses: outside the data, unaligned, the last cell (an
        // empty string), and data that is no string a script would pass.
        cell end = s.dataBytes();
        cell garbagePacked = s.store({0x7FFFFFFF, 0x12345678, static_cast<cell>(0xFFFFFFFF), 0});
        cell garbageUnpacked = s.store({0x00123456, 0x00FFFFFF, 5, 0});
        std::vector<cell> addresses = {
            -1,      INT_MIN,       INT_MAX,        -4, 1, 2, 3, end, end + 4,
            end - 4, garbagePacked, garbageUnpacked};
        for (const char* native : {"CreateThread", "CreateThreadEx"}) {
            for (cell address : addresses) {
                cell id = c.native(native, {address});
                expect(std::string(native) + "(address " + std::to_string(address) + ")", id,
                       id == 0);
            }
            for (bool packed : {false, true}) {
                auto text = [packed](const std::string& name) {
                    return packed ? emu::packed(name) : emu::str(name);
                };
                std::string form = packed ? " packed" : "";
                for (const std::string& name :
                     {std::string(), std::string("z"), k32Missing, k10000, std::string(200, 'a')}) {
                    cell id = c.native(native, {text(name)});
                    expect(std::string(native) + "(" + std::to_string(name.size()) + " characters" +
                               form + ")",
                           id, id == 0);
                }
                for (const std::string& name : {std::string("a"), k31, k32}) {
                    cell id = c.native(native, {text(name)});
                    std::string what = std::string(native) + "(public of " +
                                       std::to_string(name.size()) + " characters" + form + ")";
                    check(what, id, id > 0, false);
                    expectOne("DestroyThread after " + what, c.native("DestroyThread", {id}));
                }
            }
        }
        s.release(garbagePacked);
        s.release(garbageUnpacked);
    }

    void workerSweep(emu::Call& c) {
        sweep(c, workerFailures, workerTried);
        workerDone = true;
    }

    // Nothing the sweep made is left once the finished single-shot threads
    // are reaped: no thread, no lock, no worker.
    void expectNothingLeft() {
        ASSERT_TRUE(test::eventually([&] { return emu::countProcessThreads() == baseline; }));
        for (int i = 0; i < 100; ++i) {
            host->tick();
        }
        run(*script, [](emu::Call& c) {
            for (cell id = 1; id <= 64; ++id) {
                EXPECT_EQ(c.native("DestroyThread", {id}), 0) << id;
                EXPECT_EQ(c.native("UnLockThread", {id}), 0) << id;
            }
        });
    }

    emu::Script* script = nullptr;
    int baseline = 0;
    std::vector<std::string> workerFailures;
    int workerTried = 0;
    std::atomic<bool> workerDone{false};
    std::atomic<bool> sleeperStarted{false};
    std::atomic<bool> sleeperWokeUp{false};
};

TEST_F(BadInputTest, EveryNativeOnTheMainThreadDoesNothingWithBadArguments) {
    std::vector<std::string> failures;
    int tried = 0;
    run(*script, [&](emu::Call& c) { sweep(c, failures, tried); });
    for (const std::string& failure : failures) {
        ADD_FAILURE() << failure;
    }
    std::printf("[bad-input] %d bad inputs tried on the main thread\n", tried);
    expectNothingLeft();
}

TEST_F(BadInputTest, EveryNativeOnAWorkerDoesNothingWithBadArguments) {
    EXPECT_GT(startOnce(*script, "sweep"), 0);
    ASSERT_TRUE(test::eventually([&] { return workerDone.load(); }));
    for (const std::string& failure : workerFailures) {
        ADD_FAILURE() << failure;
    }
    std::printf("[bad-input] %d bad inputs tried on a worker\n", workerTried);
    expectNothingLeft();
}

TEST_F(BadInputTest, LongestSleepOnAWorkerEndsWhenItsThreadIsDestroyed) {
    cell id = start(*script, "sleeper");
    ASSERT_GT(id, 0);
    EXPECT_TRUE(test::eventually([&] { return sleeperStarted.load(); }));
    EXPECT_EQ(call(*script, "DestroyThread", {id}), 1);
    EXPECT_FALSE(sleeperWokeUp);
    expectNothingLeft();
}

}  // namespace
