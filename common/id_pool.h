#pragma once

#include <cstddef>
#include <vector>

#include "host/host_api.h"

// Hands out the smallest positive id not in use. Only reserve() allocates:
// once an id is reserved, taking it cannot fail, and releasing never does, so
// a caller can commit or undo a change without a step that might throw.
class IdPool {
  public:
    // Sets aside room for one more id; throws std::bad_alloc and changes
    // nothing when there is no memory for it.
    void reserve() {
        if (claimed() == used_.size() * kBits) {
            // A summary word first: one with no word of ids behind it yet is
            // harmless, a word of ids without its summary bit is not.
            if (full_.size() * kBits == used_.size()) {
                full_.push_back(0);
            }
            used_.push_back(0);
        }
        ++reserved_;
    }

    // Gives back a reservation that will not be taken.
    void cancel() noexcept { --reserved_; }

    // Takes the smallest free id, using up a reservation.
    cell take() noexcept {
        --reserved_;
        ++taken_;
        size_t summary = 0;
        while (full_[summary] == ~Word{0}) {
            ++summary;
        }
        size_t word = summary * kBits + lowestZero(full_[summary]);
        size_t bit = lowestZero(used_[word]);
        used_[word] |= Word{1} << bit;
        if (used_[word] == ~Word{0}) {
            full_[word / kBits] |= Word{1} << (word % kBits);
        }
        return static_cast<cell>(word * kBits + bit + 1);
    }

    // Ids taken and ids reserved.
    size_t claimed() const noexcept { return taken_ + reserved_; }

    void release(cell id) noexcept {
        size_t index = static_cast<size_t>(id) - 1;
        size_t word = index / kBits;
        used_[word] &= ~(Word{1} << (index % kBits));
        full_[word / kBits] &= ~(Word{1} << (word % kBits));
        --taken_;
    }

  private:
    // The machine's own word: on a 32-bit server a 64-bit word would cost a
    // call into the compiler's runtime for every search.
    using Word = unsigned long;
    static constexpr size_t kBits = sizeof(Word) * 8;

    static size_t lowestZero(Word bits) { return static_cast<size_t>(__builtin_ctzl(~bits)); }

    // Bit b of word w: id w * kBits + b + 1 is taken.
    std::vector<Word> used_;
    // Bit b of word s: every id of used_[s * kBits + b] is taken. Its bits
    // past the end of used_ are clear, so a search stops at a word that has
    // room.
    std::vector<Word> full_;
    size_t taken_ = 0;
    size_t reserved_ = 0;
};
