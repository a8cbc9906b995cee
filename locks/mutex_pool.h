#pragma once

#include <cstdint>
#include <vector>

#include "common/chunked_table.h"
#include "common/registry_guard.h"
#include "host/host_api.h"
#include "locks/script_mutex.h"

// Every script mutex there is, kept in place until the plugin unloads, so
// that the lock path may use a mutex it found without the guard however its
// thread fares meanwhile: at worst the mutex has gone to another thread,
// which its owner tells.
class MutexPool {
  public:
    static constexpr size_t kCapacity = size_t{1} << 20;

    // A mutex for the new thread of that id. Throws std::bad_alloc when there
    // is no memory for it, or every one of kCapacity is in use.
    ScriptMutex& take(cell thread) VANTREL_REQUIRES(registryGuard);
    // Its thread is gone, or was never made: the pool takes it back now if
    // nobody holds it or waits for it, or else at its last release.
    void retire(ScriptMutex& mutex) noexcept VANTREL_REQUIRES(registryGuard) {
        if (mutex.orphan()) {
            giveBack(mutex);
        }
    }
    // Releases a mutex that the caller holds: without the guard unless a
    // waiter is to be woken or an orphan taken back.
    void release(ScriptMutex& mutex) VANTREL_EXCLUDES(registryGuard) {
        if (!mutex.tryUnlockAlone()) {
            RegistryLock lock;
            releaseGuarded(mutex);
        }
    }
    void releaseGuarded(ScriptMutex& mutex) noexcept VANTREL_REQUIRES(registryGuard) {
        if (mutex.unlock()) {
            giveBack(mutex);
        }
    }
    // The mutex at index, which the caller read from a held lock.
    ScriptMutex& at(uint32_t index) const noexcept { return *mutexes_.find(index); }

  private:
    // A mutex that nobody holds or waits for and no thread has.
    void giveBack(ScriptMutex& mutex) noexcept VANTREL_REQUIRES(registryGuard);

    ChunkedTable<ScriptMutex, 8, (kCapacity >> 8)> mutexes_;
    uint32_t made_ VANTREL_GUARDED_BY(registryGuard) = 0;
    // Its room is kept for every mutex made, so that giving one back never
    // needs memory.
    std::vector<ScriptMutex*> free_ VANTREL_GUARDED_BY(registryGuard);
};
