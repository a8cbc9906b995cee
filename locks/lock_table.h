// Held script locks: what LockThread keeps and UnLockThread gives back.
//
// LockThread's wait and its bookkeeping, which need the thread table and the
// calling script's record, are S_Manager::Lock and S_Manager::Unlock in
// threads/s_manager_locks.cpp; the natives are in natives/lock_natives.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/chunked_table.h"
#include "common/registry_guard.h"
#include "host/host_api.h"
#include "locks/mutex_pool.h"
#include "locks/script_mutex.h"

// Held locks by lock id, for any number of threads at once and without a
// guard. Entry i is lock id i + 1: a word naming the mutex held and the
// script that took it, or 0 while the id is free. The compare-and-swap that
// fills an entry takes its id, and the exchange that empties it frees the id,
// so an id and the record of its lock never part.
//
// Ids are the smallest free: a take looks at the entries in order, skipping
// the groups of entries that it finds marked full. A group is marked by a
// take that found no free entry in it, which then looks again and takes the
// mark back if meanwhile an entry was freed, while whoever frees an entry
// takes its group's mark back after. Of the two, whichever comes second in
// the order of those operations (sequentially consistent on both sides) sees
// the other: no mark outlives both. A take that runs into a mark that is
// about to go may pass a group with a free entry, as if that entry had been
// freed after it.
class LockTable {
  public:
    // The scripts that may hold locks at once: the held lock names its script
    // by a slot number below this.
    static constexpr uint32_t kTakers = 2048;

    explicit LockTable(const MutexPool& mutexes) : mutexes_(mutexes) {}
    LockTable(const LockTable&) = delete;
    LockTable& operator=(const LockTable&) = delete;

    // Records a mutex that the caller holds as taken by the script in slot
    // taker, under the smallest free lock id; returns the id, or 0 when there
    // is no memory for its entry.
    cell add(const ScriptMutex& mutex, uint32_t taker) noexcept;
    // Empties the entry of lockId. Returns the mutex it held, which the caller
    // is to release, or null when the id holds no lock.
    ScriptMutex* take(cell lockId) noexcept;
    // Empties every entry that the script in slot taker holds, handing each
    // mutex to release, under the guard that release needs. A lock that its
    // script takes while this runs may stay.
    template <typename Release>
    void takeAllOf(uint32_t taker, Release release) noexcept VANTREL_REQUIRES(registryGuard) {
        for (size_t index = 0; index < kCapacity; index += kChunk) {
            std::atomic<uint32_t>* chunk = entries_.find(index);
            for (size_t i = 0; chunk != nullptr && i < kChunk; ++i) {
                uint32_t word = chunk[i].load(std::memory_order_relaxed);
                // An entry of taker's that changes meanwhile was given back,
                // and only another script can have taken it again: never a
                // lock of taker's under a word seen before.
                if (word != 0 && (word >> kTakerShift) == (kInUse | taker) &&
                    chunk[i].compare_exchange_strong(word, 0, std::memory_order_seq_cst)) {
                    unmarkFull(index + i);
                    release(mutexes_.at(word & kMutexMask));
                }
            }
        }
    }

  private:
    // The machine's own word: on a 32-bit server a 64-bit word would cost a
    // call into the compiler's runtime for every search.
    using Word = unsigned long;
    static constexpr size_t kBits = sizeof(Word) * 8;
    static constexpr size_t kCapacity = MutexPool::kCapacity;
    static constexpr size_t kChunk = size_t{1} << 10;

    // An entry: the in-use bit, the taker's slot, the mutex's index.
    static constexpr uint32_t kTakerShift = 20;
    static constexpr uint32_t kMutexMask = (uint32_t{1} << kTakerShift) - 1;
    static constexpr uint32_t kInUse = kTakers;
    static_assert(MutexPool::kCapacity - 1 <= kMutexMask, "a mutex's index fits its field");
    static_assert((kInUse | (kTakers - 1)) <= (UINT32_MAX >> kTakerShift), "the taker fits");

    static size_t lowestZero(Word bits) { return static_cast<size_t>(__builtin_ctzl(~bits)); }
    void markFull(size_t group, const std::atomic<uint32_t>* first) noexcept;
    void unmarkFull(size_t index) noexcept;

    const MutexPool& mutexes_;
    ChunkedTable<std::atomic<uint32_t>, 10, kCapacity / kChunk> entries_;
    // Bit g % kBits of word g / kBits: a take found every entry of group g,
    // the kBits entries from g * kBits, in use.
    std::atomic<Word> full_[kCapacity / kBits / kBits] = {};
};
