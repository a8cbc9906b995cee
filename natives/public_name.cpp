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

// Copies the string into name in one pass, bounded by what there is to read
// however another thread rewrites it meanwhile; false when no terminator comes within the
// characters a name may have or the cells there are to read, or the name is empty.
bool decode(const cell* cells, size_t readable, char (&name)[kMaxPublicName + 1]) {
    bool packed = readable != 0 && cellAt(cells, 0) > kUnpackedMax;
    int length = 0;
    for (size_t i = 0; i < readable; ++i) {
        uint32_t value = cellAt(cells, i);
        // A packed cell holds its first character in the high byte; an
        // unpacked one a character of its own, as the host reads it.
        for (int shift = packed ? 24 : 0; shift >= 0; shift -= 8) {
            auto character = static_cast<char>(packed ? (value >> shift) & 0xFF : value);
            if (packed ? character == '\0' : value == 0) {
                name[length] = '\0';
                return length > 0;
            }
            if (length == kMaxPublicName) {
                return false;
            }
            name[length++] = character;
        }
    }
    return false;
}

}  // namespace

bool ReadPublicName(AMX* amx, cell address, char (&name)[kMaxPublicName + 1]) {
    cell* cells = nullptr;
    if (host::GetAddr(amx, address, &cells) != AMX_ERR_NONE || cells == nullptr) {
        return false;
    }
    return decode(cells, static_cast<size_t>(readableBytes(amx, address)) / sizeof(cell), name);
}
