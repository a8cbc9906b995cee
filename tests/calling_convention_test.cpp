// The host calls the six exports as the Windows servers do, __stdcall. An
// export that leaves its argument on the stack is a fault the host reports,
// where a server would run on with its stack pointer 4 bytes off.
#include <gtest/gtest.h>

#include "emuhost/emulated_host.h"

namespace {

TEST(CallingConvention, ExportsThatDoNotPopTheirArgumentAreFaults) {
    std::vector<std::string> faults;
    {
        emu::EmulatedHost host(VANTREL_CDECL_PLUGIN_PATH);
        host.supports();
        ASSERT_TRUE(host.load());
        emu::Script& script = host.loadScript({});
        host.tick();
        host.unloadScript(script);
        host.unload();
        faults = host.faults();
    }
    // Without arguments the two conventions do the same.
    const char* const moved = " returned with the stack pointer moved";
    std::vector<std::string> expected;
    for (const char* entryPoint : {"Load", "AmxLoad", "AmxUnload"}) {
        expected.push_back(std::string(entryPoint) + moved);
    }
    ASSERT_EQ(faults.size(), expected.size());
    for (size_t i = 0; i < faults.size(); ++i) {
        EXPECT_EQ(faults[i].substr(0, expected[i].size()), expected[i]);
    }
}

}  // namespace
