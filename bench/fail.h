#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

// Stops the run at once: sleepers may still be alive, so nothing is torn down.
[[noreturn]] inline void fail(const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "vantrel-bench: %s\n", why.c_str());
    std::_Exit(1);
}

}  // namespace bench
