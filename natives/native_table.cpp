#include "natives/native_table.h"

#include "natives/lock_natives.h"
#include "natives/thread_natives.h"

const AMX_NATIVE_INFO kNatives[] = {
    {"CreateThread", n_CreateThread},
    {"CreateThreadEx", n_CreateThreadEx},
    {"DestroyThread", n_DestroyThread},
    {"SleepThread", n_SleepThread},
    {"LockThread", n_LockThread},
    {"UnLockThread", n_UnLockThread},
    {nullptr, nullptr},
};
