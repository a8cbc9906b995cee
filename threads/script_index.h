#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/registry_guard.h"
#include "host/host_api.h"
#include "locks/lock_table.h"

// The loaded scripts' slots by machine, for the lock path to tell which
// script the server's code calls from without the registry guard: a held
// lock names its script by slot. A table of fixed size, probed from the
// machine's hash, whose slots stay in place.
class ScriptIndex {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;

    // A slot of its own for a machine not yet in the index. Throws
    // std::bad_alloc when every slot is taken.
    uint32_t add(AMX* amx) VANTREL_REQUIRES(registryGuard);
    void remove(uint32_t slot) noexcept VANTREL_REQUIRES(registryGuard);
    // The machine's slot, or kNone. Any thread: the server's code calls from
    // a machine it loaded and has not unloaded, and only the thread that
    // unloads it removes it. Inline: every LockThread of the server's code
    // passes here.
    uint32_t find(const AMX* amx) const noexcept {
        const uintptr_t wanted = reinterpret_cast<uintptr_t>(amx);
        for (size_t probe = 0, slot = home(amx); probe < kSlots;
             ++probe, slot = (slot + 1) % kSlots) {
            uintptr_t seen = slots_[slot].load(std::memory_order_acquire);
            if (seen == wanted) {
                return static_cast<uint32_t>(slot);
            }
            if (seen == 0) {
                break;
            }
        }
        return kNone;
    }

  private:
    static constexpr size_t kSlots = LockTable::kTakers;
    // A slot that held a machine, which a search passes.
    static constexpr uintptr_t kGone = 1;

    // Machines are structs some hundred bytes apart at least: the bits above
    // the struct's alignment spread them.
    static size_t home(const AMX* amx) noexcept {
        uintptr_t bits = reinterpret_cast<uintptr_t>(amx) >> 4;
        return static_cast<size_t>((bits ^ (bits >> 11)) % kSlots);
    }

    std::atomic<uintptr_t> slots_[kSlots] = {};
};
