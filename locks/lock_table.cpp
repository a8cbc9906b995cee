#include "locks/lock_table.h"

cell LockTable::add(const ScriptMutex& mutex, uint32_t taker) noexcept {
    const uint32_t taken = ((kInUse | taker) << kTakerShift) | mutex.index;
    for (size_t summary = 0; summary < kCapacity / kBits / kBits; ++summary) {
        Word full = full_[summary].load(std::memory_order_seq_cst);
        while (full != ~Word{0}) {
            size_t group = summary * kBits + lowestZero(full);
            std::atomic<uint32_t>* first = nullptr;
            try {
                first = &entries_.make(group * kBits);
            } catch (...) {
                return 0;
            }
            for (size_t i = 0; i < kBits; ++i) {
                uint32_t seen = first[i].load(std::memory_order_relaxed);
                // Release: whoever empties the entry releases the mutex after
                // what the taker did under it.
                if (seen == 0 &&
                    first[i].compare_exchange_strong(seen, taken, std::memory_order_release,
                                                     std::memory_order_relaxed)) {
                    return static_cast<cell>(group * kBits + i + 1);
                }
            }
            markFull(group, first);
            full = full_[summary].load(std::memory_order_seq_cst);
        }
    }
    return 0;
}

ScriptMutex* LockTable::take(cell lockId) noexcept {
    if (lockId < 1) {
        return nullptr;
    }
    size_t index = static_cast<size_t>(lockId) - 1;
    std::atomic<uint32_t>* entry = entries_.find(index);
    // A look first, so that an id that holds no lock writes nothing.
    if (entry == nullptr || entry->load(std::memory_order_relaxed) == 0) {
        return nullptr;
    }
    uint32_t word = entry->exchange(0, std::memory_order_seq_cst);
    if (word == 0) {
        return nullptr;
    }
    unmarkFull(index);
    return &mutexes_.at(word & kMutexMask);
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

void LockTable::unmarkFull(size_t index) noexcept {
    size_t group = index / kBits;
    std::atomic<Word>& summary = full_[group / kBits];
    Word bit = Word{1} << (group % kBits);
    if ((summary.load(std::memory_order_seq_cst) & bit) != 0) {
        summary.fetch_and(~bit, std::memory_order_seq_cst);
    }
}
