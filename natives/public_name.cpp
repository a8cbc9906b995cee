#include "natives/public_name.h"

#include <cstdint>
#include <cstring>

#include "host/host.h"
#include "own_machine/worker_machine.h"

namespace {

// The host's test for a packed string: a first cell beyond any character.
constexpr uint32_t kUnpackedMax = (uint32_t{1} << 24) - 1;

// How far a string at the address may run. The host's own string functions
// stop only at a terminator, and the memory a worker's struct lets through
// below its heap holds guard pages and other workers' slots.
cell readableBytes(const AMX* amx, cell address) {
    if (const WorkerMachine* worker = WorkerMachine::of(amx)) {
        return worker->readableFrom(address);
    }
    return address >= 0 && address <= amx->stp
               ? amx->stp + static_cast<cell>(sizeof(cell)) - address
               : 0;
}

uint32_t cellAt(const cell* cells, size_t index) {
    uint32_t value = 0;
    std::memcpy(&value, cells + index, sizeof value);
    return value;
}

// The string's length in characters, or -1 when no terminator comes within
// the characters a name may have or the cells there are to read.
int boundedLength(const cell* cells, size_t readable) {
    if (readable == 0) {
        return -1;
    }
    bool packed = cellAt(cells, 0) > kUnpackedMax;
    int length = 0;
    for (size_t i = 0; i < readable; ++i) {
        uint32_t value = cellAt(cells, i);
        if (!packed) {
            if (value == 0) {
                return length;
            }
            if (++length > kMaxPublicName) {
                return -1;
            }
            continue;
        }
        // A packed cell holds its first character in the high byte.
        for (int shift = 24; shift >= 0; shift -= 8) {
            if (((value >> shift) & 0xFF) == 0) {
                return length;
            }
            if (++length > kMaxPublicName) {
                return -1;
            }
        }
    }
    return -1;
}

}  // namespace

bool ReadPublicName(AMX* amx, cell address, char (&name)[kMaxPublicName + 1]) {
    cell* cells = nullptr;
    if (host::GetAddr(amx, address, &cells) != AMX_ERR_NONE || cells == nullptr) {
        return false;
    }
    int length =
        boundedLength(cells, static_cast<size_t>(readableBytes(amx, address)) / sizeof(cell));
    if (length <= 0) {
        return false;
    }
    host::GetString(name, cells, static_cast<size_t>(length) + 1);
    return true;
}
