// LockThread and UnLockThread in the registry: they need the thread table,
// the calling script's record and the caller's own thread, and keep what
// they hold in the lock table (locks/).
//
// A lock of a mutex that nobody holds or waits for, and every unlock that
// wakes nobody, take no guard: the thread's mutex is found in the books'
// table of mutexes, taken with one compare-and-swap and recorded in the lock
// table, all without a lock, so that workers locking threads of their own
// run in parallel. A wait, and a lock while a close runs, go the way that
// takes the registry guard.
#include "threads/s_manager.h"

cell S_Manager::Lock(cell threadId, AMX* amx) {
    // The server's code, or a worker in the code of a script on that
    // script's machine, calls from a machine in the script index. While no
    // close runs, none of the checks of an unload that need the caller's own
    // thread can fail for it.
    uint32_t epoch = closeEpoch_.load(std::memory_order_seq_cst);
    uint32_t taker = epoch % 2 == 0 ? scripts_.find(amx) : ScriptIndex::kNone;
    S_Thread* self = nullptr;
    if (taker == ScriptIndex::kNone && (self = S_Thread::current()) != nullptr &&
        self->runsOwn(amx) && !self->machine.closing.load(std::memory_order_acquire)) {
        // Its script's record outlives the worker, and the slot with it. A
        // close that begins after this look gives back what is taken below
        // once the worker has stopped.
        taker = self->machine.slot;
    }
    if (taker != ScriptIndex::kNone) {
        ScriptMutex* mutex = threads_.mutexOf(threadId);
        if (mutex == nullptr) {
            return 0;
        }
        if (mutex->tryLockAlone()) {
            // Held, the mutex stays with its owner: one that names another
            // thread was handed on after the look, and is not this thread's.
            if (mutex->owner() == threadId) {
                cell lockId = locks_.add(*mutex, taker);
                if (lockId == 0) {
                    mutexes_.release(*mutex);
                    return 0;
                }
                if (self != nullptr || closeEpoch_.load(std::memory_order_seq_cst) == epoch) {
                    return lockId;
                }
                // A close began since the first look, and may have missed
                // the lock: the guarded way decides as it would have. If the
                // lock is gone, the close gave it back already.
                if (!locks_.takeBack(lockId, *mutex, taker)) {
                    return lockWaiting(threadId, amx);
                }
            }
            mutexes_.release(*mutex);
        }
    }
    return lockWaiting(threadId, amx);
}

cell S_Manager::lockWaiting(cell threadId, AMX* amx) {
    S_Thread* self = S_Thread::current();
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
    ScriptMutex& mutex = thread->mutex;
    if (mutex.tryLock()) {
        cell lockId = locks_.add(mutex, taker->slot);
        if (lockId == 0) {
            mutexes_.releaseGuarded(mutex);
        }
        return lockId;
    }
    // The wait gives the guard up, and the thread may go meanwhile; its
    // mutex stays while it is waited for. The taker's record stays: it is
    // the caller's own script's, or one whose unload waits for the caller to
    // leave its native.
    clearStarts(self, taker);
    enter(self, amx);
    if (self != nullptr) {
        self->waitingFor = &mutex;
    }
    bool taken =
        mutex.lock(lock, [&]() VANTREL_REQUIRES(registryGuard) { return unloading(self); });
    if (self != nullptr) {
        self->waitingFor = nullptr;
    }
    // Held but not yet recorded while new workers arrive: an unload that
    // comes meanwhile gives it back below.
    awaitStarts(lock, creationsOf(self, taker), nullptr);
    cell lockId = 0;
    if (taken && !unloading(self)) {
        lockId = locks_.add(mutex, taker->slot);
    }
    if (lockId == 0) {
        // A waiter that gave up left the mutex held: its holder's release
        // gives an orphan back to the pool.
        if (taken) {
            mutexes_.releaseGuarded(mutex);
        }
        if (self != nullptr && unloading(self)) {
            abandon(*self, amx);
        }
    }
    leave(self);
    return lockId;
}

bool S_Manager::Unlock(cell lockId) {
    ScriptMutex* mutex = locks_.take(lockId);
    if (mutex == nullptr) {
        return false;
    }
    mutexes_.release(*mutex);
    return true;
}
