#pragma once

#include "host/host_api.h"

// The script machine is C: no exception may unwind through it. A native whose
// work throws did nothing the script can rely on, so it returns 0.
template <typename Work>
cell shielded(Work work) noexcept {
    try {
        return work();
    } catch (...) {
        return 0;
    }
}
