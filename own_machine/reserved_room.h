// Address space set aside without memory behind it: its pages are usable only
// once committed, and the rest faults on any access. A script's workers need
// their stacks in one block with its globals (a machine's addresses are cells,
// offsets from its data), most of them never touch more than a few pages, and
// an inaccessible page between two stacks turns an overrun of one into a
// fault instead of a write into the other.
#pragma once

#include <cstddef>

class ReservedRoom {
  public:
    // Throws std::bad_alloc when the process has no address space that large.
    explicit ReservedRoom(size_t bytes);
    ~ReservedRoom();
    ReservedRoom(const ReservedRoom&) = delete;
    ReservedRoom& operator=(const ReservedRoom&) = delete;

    unsigned char* begin() const { return begin_; }
    // Makes pages readable and writable; offset and bytes are whole pages.
    // False when the system has no memory for them.
    bool commit(size_t offset, size_t bytes);

    // The system's page: the unit of commits and of guards.
    static size_t pageBytes();

  private:
    unsigned char* begin_;
    size_t bytes_;
};
