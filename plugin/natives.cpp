#include "plugin/natives.h"

#include "locks/lock_natives.h"
#include "threads/thread_natives.h"

const AMX_NATIVE_INFO kNatives[] = {
    {"CreateThread", n_CreateThread},
    {"CreateThreadEx", n_CreateThreadEx},
    {"DestroyThread", n_DestroyThread},
    {"SleepThread", n_SleepThread},
    {"LockThread", n_LockThread},
    {"UnLockThread", n_UnLockThread},
    {nullptr, nullptr},
};
