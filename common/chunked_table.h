// Entries by index that stay where they are once made, so that readers find
// them without a lock while the table grows: chunks of 2^kChunkBits entries,
// each made at the first index that needs it and kept until the table goes.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

template <typename Entry, size_t kChunkBits, size_t kChunks>
class ChunkedTable {
  public:
    static constexpr size_t kChunkSize = size_t{1} << kChunkBits;
    static constexpr size_t kCapacity = kChunks << kChunkBits;

    ChunkedTable() = default;
    ~ChunkedTable() {
        for (auto& chunk : chunks_) {
            delete[] chunk.load(std::memory_order_relaxed);
        }
    }
    ChunkedTable(const ChunkedTable&) = delete;
    ChunkedTable& operator=(const ChunkedTable&) = delete;

    // The entry at index, or null while its chunk is not made. Any thread.
    Entry* find(size_t index) const noexcept {
        if (index >= kCapacity) {
            return nullptr;
        }
        // Sequentially consistent, as the chunk's making: a reader ordered
        // after a write into a new chunk finds the chunk.
        Entry* chunk = chunks_[index >> kChunkBits].load(std::memory_order_seq_cst);
        return chunk == nullptr ? nullptr : &chunk[index & kMask];
    }

    // Makes the chunk of index unless it is made. Throws std::bad_alloc when
    // there is no memory for it or index is past the table, which is no room
    // either. Any number of threads at once: one chunk wins, the others go.
    Entry& make(size_t index) {
        if (index >= kCapacity) {
            throw std::bad_alloc();
        }
        std::atomic<Entry*>& slot = chunks_[index >> kChunkBits];
        Entry* chunk = slot.load(std::memory_order_acquire);
        if (chunk == nullptr) {
            Entry* made = new Entry[kChunkSize]();
            if (slot.compare_exchange_strong(chunk, made, std::memory_order_seq_cst,
                                             std::memory_order_seq_cst)) {
                chunk = made;
            } else {
                delete[] made;
            }
        }
        return chunk[index & kMask];
    }

  private:
    static constexpr size_t kMask = kChunkSize - 1;
    std::atomic<Entry*> chunks_[kChunks] = {};
};
