#include "threads/script_index.h"

#include <new>

uint32_t ScriptIndex::add(AMX* amx) {
    for (size_t probe = 0, slot = home(amx); probe < kSlots; ++probe, slot = (slot + 1) % kSlots) {
        uintptr_t seen = slots_[slot].load(std::memory_order_relaxed);
        if (seen == 0 || seen == kGone) {
            slots_[slot].store(reinterpret_cast<uintptr_t>(amx), std::memory_order_release);
            return static_cast<uint32_t>(slot);
        }
    }
    throw std::bad_alloc();
}

void ScriptIndex::remove(uint32_t slot) noexcept {
    slots_[slot].store(kGone, std::memory_order_release);
}
