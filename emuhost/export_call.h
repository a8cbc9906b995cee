// Calls one of the plugin's six exports as the server on this system calls
// it. On Windows that is __stdcall: the export pops its argument itself. One
// compiled with the C convention leaves the caller's stack pointer 4 bytes
// off, which the server's compiled code does not notice until much later;
// the call reports it instead.
#pragma once

#include <cstdint>
#include <type_traits>

namespace emu {

// 64-bit Windows has one convention, as Linux has.
#if defined(_WIN32) && !defined(_WIN64)
// The value left in eax; stackKept tells whether the stack pointer came back
// where the call started.
uint32_t callStdcall(void* entry, bool& stackKept);
uint32_t callStdcall(void* entry, uint32_t argument, bool& stackKept);
#endif

// Exports take no argument or one pointer.
template <typename Result, typename... Pointer>
Result callExport(void* entry, bool& stackKept, Pointer... argument) {
    static_assert(sizeof...(Pointer) <= 1 && (std::is_pointer_v<Pointer> && ...));
#if defined(_WIN32) && !defined(_WIN64)
    uint32_t value = callStdcall(entry, reinterpret_cast<uint32_t>(argument)..., stackKept);
    if constexpr (std::is_same_v<Result, bool>) {
        return (value & 0xFFu) != 0;
    } else if constexpr (!std::is_void_v<Result>) {
        return static_cast<Result>(value);
    }
#else
    stackKept = true;
    return reinterpret_cast<Result (*)(Pointer...)>(entry)(argument...);
#endif
}

}  // namespace emu
