#include "own_machine/reserved_room.h"

#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#ifdef _WIN32

ReservedRoom::ReservedRoom(size_t bytes)
    : begin_(static_cast<unsigned char*>(VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS))),
      bytes_(bytes) {
    if (begin_ == nullptr) {
        throw std::bad_alloc();
    }
}

ReservedRoom::~ReservedRoom() {
    VirtualFree(begin_, 0, MEM_RELEASE);
}

bool ReservedRoom::commit(size_t offset, size_t bytes) {
    return VirtualAlloc(begin_ + offset, bytes, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

size_t ReservedRoom::pageBytes() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

#else

ReservedRoom::ReservedRoom(size_t bytes) : begin_(nullptr), bytes_(bytes) {
    void* room =
        mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room == MAP_FAILED) {
        throw std::bad_alloc();
    }
    begin_ = static_cast<unsigned char*>(room);
}

ReservedRoom::~ReservedRoom() {
    munmap(begin_, bytes_);
}

bool ReservedRoom::commit(size_t offset, size_t bytes) {
    return mprotect(begin_ + offset, bytes, PROT_READ | PROT_WRITE) == 0;
}

size_t ReservedRoom::pageBytes() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

#endif
