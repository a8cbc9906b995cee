// What the plugin keeps of the host between Load and Unload, and typed calls
// through the host's AMX function table.
#pragma once

#include "host/host_api.h"

namespace host {

// Written by Load before any worker starts, and left alone until Unload has
// joined every worker: workers read them in between without a guard.
extern logprintf_t logprintf;
extern void** amxExports;

void attach(void** data);

inline int Exec(AMX* amx, cell* retval, int index) {
    return reinterpret_cast<amx_Exec_t>(amxExports[PLUGIN_AMX_EXPORT_Exec])(amx, retval, index);
}
// The index of the script's imported native of that name; copies no name.
inline int FindNative(AMX* amx, const char* name, int* index) {
    return reinterpret_cast<amx_FindNative_t>(amxExports[PLUGIN_AMX_EXPORT_FindNative])(amx, name,
                                                                                        index);
}
inline int GetAddr(AMX* amx, cell address, cell** cells) {
    return reinterpret_cast<amx_GetAddr_t>(amxExports[PLUGIN_AMX_EXPORT_GetAddr])(amx, address,
                                                                                  cells);
}
inline int Push(AMX* amx, cell value) {
    return reinterpret_cast<amx_Push_t>(amxExports[PLUGIN_AMX_EXPORT_Push])(amx, value);
}
inline int RaiseError(AMX* amx, int error) {
    return reinterpret_cast<amx_RaiseError_t>(amxExports[PLUGIN_AMX_EXPORT_RaiseError])(amx, error);
}
// There is no function for it in the table. The machine's callback clears the
// error field before a native, but on the SA-MP server only at the first call
// of each call site, which it then rewrites to call the native directly:
// left set, the field would abort the next script code in that machine that
// returns from a native through a rewritten site. Other threads may be
// reading it, hence the atomic store.
inline void ClearError(AMX* amx) {
    // The field is aligned in the host's machine, which the packed
    // declaration cannot tell the compiler.
    static_assert(offsetof(AMX, error) % alignof(int) == 0, "the error field is aligned");
    int* error =
        reinterpret_cast<int*>(reinterpret_cast<unsigned char*>(amx) + offsetof(AMX, error));
    __atomic_store_n(error, AMX_ERR_NONE, __ATOMIC_RELAXED);
}
inline int Register(AMX* amx, const AMX_NATIVE_INFO* list, int number) {
    return reinterpret_cast<amx_Register_t>(amxExports[PLUGIN_AMX_EXPORT_Register])(amx, list,
                                                                                    number);
}

}  // namespace host
