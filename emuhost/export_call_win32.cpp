#include "emuhost/export_call.h"

namespace emu {

// The stack pointer is kept in esi across the call, which either convention
// preserves, and put back from there whatever the callee did to it; the value
// it had after the call lands in edi.

uint32_t callStdcall(void* entry, bool& stackKept) {
    uint32_t value;
    uint32_t before;
    uint32_t after;
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "call *%[entry]\n\t"
        "movl %%esp, %%edi\n\t"
        "movl %%esi, %%esp"
        : "=a"(value), "=&S"(before), "=&D"(after)
        : [entry] "r"(entry)
        : "ecx", "edx", "memory", "cc");
    stackKept = after == before;
    return value;
}

uint32_t callStdcall(void* entry, uint32_t argument, bool& stackKept) {
    uint32_t value;
    uint32_t before;
    uint32_t after;
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %[argument]\n\t"
        "call *%[entry]\n\t"
        "movl %%esp, %%edi\n\t"
        "movl %%esi, %%esp"
        : "=a"(value), "=&S"(before), "=&D"(after)
        : [entry] "r"(entry), [argument] "r"(argument)
        : "ecx", "edx", "memory", "cc");
    stackKept = after == before;
    return value;
}

}  // namespace emu
