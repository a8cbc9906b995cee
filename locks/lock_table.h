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
    // Inline, as take(): every lock and unlock passes here.
    cell add(const ScriptMutex& mutex, uint32_t taker) noexcept {
        const uint32_t taken = word(mutex, taker);
        for (size_t summary = 0; summary < kSummaryWords; ++summary) {
            Word full = full_[summary].load(std::memory_order_seq_cst);
            while (full != ~Word{0}) {
                size_t group = summary * kBits + lowestZero(full);
                std::atomic<uint32_t>* first = entries_.find(group * kBits);
                if (first == nullptr && (first = makeGroup(group)) == nullptr) {
                    return 0;
                }
                for (size_t i = 0; i < kBits; ++i) {
                    uint32_t seen = first[i].load(std::memory_order_relaxed);
                    // Whoever empties the entry releases the mutex after what
                    // the taker did under it; and a close that begins after
                    // the taker's next look sees the entry.
                    if (seen == 0 &&
                        first[i].compare_exchange_strong(seen, taken, std::memory_order_seq_cst,
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
    // Empties the entry of lockId. Returns the mutex it held, which the caller
    // is to release, or null when the id holds no lock.
    ScriptMutex* take(cell lockId) noexcept {
        if (lockId < 1) {
            return nullptr;
        }
        size_t index = static_cast<size_t>(lockId) - 1;
        std::atomic<uint32_t>* entry = entries_.find(index);
        // A look first, so that an id that holds no lock writes nothing.
        if (entry == nullptr || entry->load(std::memory_order_relaxed) == 0) {
            return nullptr;
        }
        uint32_t taken = entry->exchange(0, std::memory_order_seq_cst);
        if (taken == 0) {
            return nullptr;
        }
        unmarkFull(index);
        return &mutexes_.at(taken & kMutexMask);
    }
    // Empties the entry of lockId if it still records that lock of mutex by
    // taker, which add() just gave it; false when someone emptied it since.
    bool takeBack(cell lockId, const ScriptMutex& mutex, uint32_t taker) noexcept;
    // Empties every entry that the script in slot taker holds, handing each
    // mutex to release, under the guard that release needs. A lock that its
    // script takes while this runs may stay.
    template <typename Release>
    void takeAllOf(uint32_t taker, Release release) noexcept VANTREL_REQUIRES(registryGuard) {
        for (size_t index = 0; index < kCapacity; index += kChunk) {
            std::atomic<uint32_t>* chunk = entries_.find(index);
            for (size_t i = 0; chunk != nullptr && i < kChunk; ++i) {
                // Sequentially consistent, as the close's mark that comes
                // before: a lock whose taker looks again after that mark
                // is seen here.
                uint32_t word = chunk[i].load(std::memory_order_seq_cst);
                // The word names taker: another script's lock never matches.
                // One of taker's own that was given back and taken again
                // meanwhile under the same word goes in its place, as it
                // would have a moment later.
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

    static constexpr size_t kSummaryWords = kCapacity / kBits / kBits;

    static size_t lowestZero(Word bits) { return static_cast<size_t>(__builtin_ctzl(~bits)); }
    static uint32_t word(const ScriptMutex& mutex, uint32_t taker) noexcept {
        return ((kInUse | taker) << kTakerShift) | mutex.index;
    }
    // The first entry of the group, made now; null when there is no memory.
    std::atomic<uint32_t>* makeGroup(size_t group) noexcept;
    void markFull(size_t group, const std::atomic<uint32_t>* first) noexcept;
    void unmarkFull(size_t index) noexcept {
        size_t group = index / kBits;
        std::atomic<Word>& summary = full_[group / kBits];
        Word bit = Word{1} << (group % kBits);
        if ((summary.load(std::memory_order_seq_cst) & bit) != 0) {
            summary.fetch_and(~bit, std::memory_order_seq_cst);
        }
    }

    const MutexPool& mutexes_;
    ChunkedTable<std::atomic<uint32_t>, 10, kCapacity / kChunk> entries_;
    // Bit g % kBits of word g / kBits: a take found every entry of group g,
    // the kBits entries from g * kBits, in use.
    std::atomic<Word> full_[kSummaryWords] = {};
};
