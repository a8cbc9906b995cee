#include "natives/lock_natives.h"

#include "natives/native_call.h"

cell n_LockThread(AMX* amx, cell* params) {
    return nativeCall<MayEnd::Yes>(amx, [&] { return g_manager->Lock(params[1], amx); });
}

cell n_UnLockThread(AMX* amx, cell* params) {
    return nativeCall(amx, [&]() -> cell { return g_manager->Unlock(params[1]) ? 1 : 0; });
}
