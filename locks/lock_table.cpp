#include "locks/lock_table.h"

std::atomic<uint32_t>* LockTable::makeGroup(size_t group) noexcept {
    try {
        return &entries_.make(group * kBits);
    } catch (...) {
        return nullptr;
    }
}

bool LockTable::takeBack(cell lockId, const ScriptMutex& mutex, uint32_t taker) noexcept {
    size_t index = static_cast<size_t>(lockId) - 1;
    uint32_t taken = word(mutex, taker);
    if (!entries_.find(index)->compare_exchange_strong(taken, 0, std::memory_order_seq_cst)) {
        return false;
    }
    unmarkFull(index);
    return true;
}

void LockTable::markFull(size_t group, const std::atomic<uint32_t>* first) noexcept {
    std::atomic<Word>& summary = full_[group / kBits];
    Word bit = Word{1} << (group % kBits);
    summary.fetch_or(bit, std::memory_order_seq_cst);
    for (size_t i = 0; i < kBits; ++i) {
        if (first[i].load(std::memory_order_seq_cst) == 0) {
            summary.fetch_and(~bit, std::memory_order_seq_cst);
            return;
        }
    }
}
