// Shared helpers for tests that drive the real plugin through the emulated host.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "emuhost/emulated_host.h"

namespace test {

// Deadlines are generous: they only bound a hang, never pace a test.
constexpr std::chrono::seconds kDeadline{30};

// Polls cond until it holds or the deadline passes.
inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds deadline = kDeadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// A loaded plugin in a fresh host; unloads it and checks the host saw no fault.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        host = std::make_unique<emu::EmulatedHost>(VANTREL_PLUGIN_PATH);
        ASSERT_TRUE(host->load());
    }

    void TearDown() override {
        if (host->loaded()) {
            host->unload();
        }
        EXPECT_TRUE(host->faults().empty()) << host->faults().front();
        host.reset();
    }

    // Runs code as the main script does; expects it to run to its end.
    void run(emu::Script& script, const emu::Public& code) {
        EXPECT_EQ(script.run(code), AMX_ERR_NONE);
    }

    // One native call from the main thread.
    cell call(emu::Script& script, const std::string& name, std::initializer_list<emu::Arg> args) {
        cell result = -1;
        int error = script.run([&](emu::Call& c) { result = c.native(name, args); });
        EXPECT_EQ(error, AMX_ERR_NONE) << name;
        return result;
    }

    std::unique_ptr<emu::EmulatedHost> host;
};

}  // namespace test
