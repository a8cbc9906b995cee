// LockThread and UnLockThread in the registry: they need the thread table,
// the calling script's record and the caller's own thread, and keep what
// they hold in the lock table (locks/).
#include "threads/s_manager.h"

cell S_Manager::Lock(cell threadId, AMX* amx, S_Thread* self) {
    RegistryLock lock;
    S_Thread* thread = threads_.find(threadId);
    if (thread == nullptr) {
        return 0;
    }
    MachineRecord* taker = callerRecord(amx, self);
    if (self != nullptr && (unloading(self) || (taker != nullptr && taker->closing))) {
        // The script is going: a lock taken now could never be released.
        abandon(*self, amx);
        return 0;
    }
    if (taker == nullptr || taker->closing) {
        return 0;
    }
    try {
        locks_.reserve();
    } catch (...) {
        return 0;
    }
    const std::shared_ptr<ScriptMutex>& threadMutex = thread->mutex;
    if (threadMutex->try_lock()) {
        return locks_.add(threadMutex, taker->locks);
    }
    // The wait gives the guard up, and the thread may go meanwhile. The
    // taker's record stays: it is the caller's own script's, or one whose
    // unload waits for the caller to leave its native.
    std::shared_ptr<ScriptMutex> mutex = threadMutex;
    clearStarts(self, taker);
    enter(self, amx);
    if (self != nullptr) {
        self->waitingFor = mutex;
    }
    bool taken =
        mutex->lock(lock, [&]() VANTREL_REQUIRES(registryGuard) { return unloading(self); });
    if (self != nullptr) {
        self->waitingFor.reset();
    }
    // Held but not yet recorded while new workers arrive: an unload that
    // comes meanwhile gives it back below.
    awaitStarts(lock, creationsOf(self, taker), nullptr);
    cell lockId = 0;
    if (taken && !unloading(self)) {
        lockId = locks_.add(mutex, taker->locks);
    } else {
        if (taken) {
            mutex->unlock();
        }
        locks_.cancel();
        if (self != nullptr) {
            abandon(*self, amx);
        }
    }
    leave(self);
    return lockId;
}

bool S_Manager::Unlock(cell lockId) {
    RegistryLock lock;
    return locks_.release(lockId);
}
