#include "natives/lock_natives.h"

#include "natives/end_public.h"
#include "natives/shield.h"
#include "threads/s_manager.h"

cell n_LockThread(AMX* amx, cell* params) {
    return shielded([&] {
        S_Manager::Locked locked = g_manager->Lock(params[1], amx);
        endPublicIn(locked.endPublicIn);
        return locked.lockId;
    });
}

cell n_UnLockThread(AMX*, cell* params) {
    return shielded([&]() -> cell { return g_manager->Unlock(params[1]) ? 1 : 0; });
}
