// A machine struct's registers as the emulated machine touches them. Other
// threads read them while an execution writes them back at a native call
// (amx_GetAddr checks an address against them), so every access is atomic;
// on the real machine they are plain ints, which is what a relaxed access
// compiles to. The struct is packed, so fields are reached by offset.
#pragma once

#include <cstddef>

#include "emuhost/amx_image.h"
#include "host/host_api.h"

namespace emu {

enum class Register : size_t {
    hea = offsetof(AMX, hea),
    hlw = offsetof(AMX, hlw),
    stk = offsetof(AMX, stk),
    stp = offsetof(AMX, stp),
    error = offsetof(AMX, error),
    paramcount = offsetof(AMX, paramcount),
};

static_assert(sizeof(int) == sizeof(cell), "the error field and paramcount are cells");

inline cell* registerAt(const AMX& amx, Register field) {
    return reinterpret_cast<cell*>(const_cast<unsigned char*>(
        reinterpret_cast<const unsigned char*>(&amx) + static_cast<size_t>(field)));
}

inline cell load(const AMX& amx, Register field) {
    return __atomic_load_n(registerAt(amx, field), __ATOMIC_RELAXED);
}

inline void store(AMX& amx, Register field, cell value) {
    __atomic_store_n(registerAt(amx, field), value, __ATOMIC_RELAXED);
}

// The data block the struct's code and natives see, taken afresh from the
// struct every time: when data is null the block sits in the image at
// base + dat.
inline unsigned char* dataOf(const AMX& amx) {
    return amx.data != nullptr ? amx.data : amx.base + headerOf(amx.base).dat;
}

// amx_GetAddr's check, against the struct it is handed only.
inline cell* addressOf(const AMX& amx, cell address) {
    if (address < 0 || address >= load(amx, Register::stp) ||
        (address >= load(amx, Register::hea) && address < load(amx, Register::stk))) {
        return nullptr;
    }
    return reinterpret_cast<cell*>(dataOf(amx) + address);
}

}  // namespace emu
