#include <gtest/gtest.h>

#include "emuhost/emulated_host.h"

TEST(Lifecycle, Smoke) {
    emu::EmulatedHost host(VANTREL_PLUGIN_PATH);
    EXPECT_EQ(host.supports(), 0x30200u);
}
