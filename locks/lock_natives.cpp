#include "locks/lock_natives.h"

#include "plugin/globals.h"
#include "plugin/shield.h"
#include "threads/s_manager.h"

cell n_LockThread(AMX* amx, cell* params) {
    return shielded([&] { return g_manager->Lock(params[1], amx); });
}

cell n_UnLockThread(AMX*, cell* params) {
    return shielded([&] { return g_manager->Unlock(params[1]); });
}
