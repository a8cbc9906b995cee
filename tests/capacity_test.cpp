// What a worker's stack holds, and how many workers the server's address
// space holds. Kept apart from the other tests: it fills the process.
#include <cstdint>
#include <cstdlib>

#include "tests/support.h"

namespace {

using test::PluginTest;

// ThreadSanitizer keeps most of a megabyte per thread in thread-local
// storage, which glibc carves out of the stack a thread asks for: its workers
// have less room than the server's.
#ifndef __SANITIZE_THREAD__
// A native of the server or of another plugin with a large frame, such as a
// database query or string formatting into a big buffer.
cell useStack(AMX*, cell* params) {
    volatile char frame[128 * 1024];
    for (size_t i = 0; i < sizeof frame; i += 512) {
        frame[i] = static_cast<char>(params[1]);
    }
    return frame[sizeof frame / 2];
}

TEST_F(PluginTest, ServerNativesCalledByAWorkerHaveRoomOnItsStack) {
    breaksRule("a worker calls a native of the server");
    auto& result = keep<std::atomic<cell>>();
    emu::ScriptDefinition definition{
        {{"Deep", [&result](emu::Call& c) { result = c.native("UseStack", {7}); }}},
        test::kAllNatives};
    definition.serverNatives = {{"UseStack", &useStack}};
    emu::Script& script = host->loadScript(std::move(definition));
    EXPECT_EQ(startOnce(script, "Deep"), 1);
    ASSERT_TRUE(workersEnded());
    EXPECT_EQ(result, 7);
}
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu && !defined(_WIN32)
// The 32-bit server: 2,048 workers' stacks fit beside a server that still
// needs a gigabyte for itself; a worker more is refused rather than taking
// the server's last address space. Not under Wine, which reserves at least
// a megabyte for every thread's stack and so fits about 950 threads.
TEST_F(PluginTest, ThirtyTwoBitServerHoldsItsWorkersAndRoomForItself) {
    constexpr cell kCeiling = 2048;
    auto& asleep = keep<std::atomic<int>>();
    emu::Script& script = load({{"Sleep", [&asleep](emu::Call& c) {
                                     ++asleep;
                                     c.native("SleepThread", {test::kLongSleep});
                                 }}});
    // Every worker of the script starts during the one sleep, each building
    // on the stack below the one before.
    run(script, [&](emu::Call& c) {
        for (cell id = 1; id <= kCeiling; ++id) {
            ASSERT_EQ(c.native("CreateThread", {emu::str("Sleep")}), id);
        }
        EXPECT_EQ(c.native("CreateThread", {emu::str("Sleep")}), 0);
        EXPECT_EQ(c.native("CreateThreadEx", {emu::str("Sleep")}), 0);
        c.native("SleepThread", {0});
    });
    EXPECT_EQ(asleep, kCeiling);
    volatile char* serverMemory = static_cast<char*>(std::malloc(size_t{1} << 30));
    ASSERT_NE(serverMemory, nullptr) << "the workers took the server's address space";
    serverMemory[0] = 1;
    std::free(const_cast<char*>(serverMemory));

    run(script, [&](emu::Call& c) {
        for (cell id = 1; id <= kCeiling; ++id) {
            ASSERT_EQ(c.native("DestroyThread", {id}), 1);
        }
    });
    ASSERT_TRUE(workersEnded());
    EXPECT_EQ(call(script, "CreateThreadEx", {emu::str("Sleep")}), 1);
}
#endif

}  // namespace
