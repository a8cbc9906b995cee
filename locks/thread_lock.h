// Held script locks: what LockThread keeps and UnLockThread gives back.
//
// LockThread's wait and its bookkeeping, which need the thread table and the
// calling script's record, are S_Manager::Lock and S_Manager::Unlock in
// threads/s_manager_locks.cpp; the natives are in natives/lock_natives.cpp.
#pragma once

#include <memory>
#include <vector>

#include <boost/intrusive/list.hpp>
#include <boost/thread/lock_types.hpp>

#include "common/id_pool.h"
#include "common/registry_guard.h"
#include "host/host_api.h"
#include "locks/script_mutex.h"

struct TakenLocks;

// One held lock. It shares ownership of the mutex so that the mutex outlives
// a script thread destroyed while the lock is held, and is linked into the
// locks of the script that took it so that unloading that script can give it
// back.
struct ThreadLock {
    std::shared_ptr<ScriptMutex> mutex VANTREL_GUARDED_BY(registryGuard);
    boost::unique_lock<ScriptMutex> hold VANTREL_GUARDED_BY(registryGuard);
    cell id VANTREL_GUARDED_BY(registryGuard) = 0;
    // Null while the entry holds no lock.
    TakenLocks* taker VANTREL_GUARDED_BY(registryGuard) = nullptr;
    boost::intrusive::list_member_hook<> takerHook VANTREL_GUARDED_BY(registryGuard);
};

// The locks one script took and still holds.
struct TakenLocks {
    boost::intrusive::list<
        ThreadLock, boost::intrusive::member_hook<ThreadLock, boost::intrusive::list_member_hook<>,
                                                  &ThreadLock::takerHook>>
        locks VANTREL_GUARDED_BY(registryGuard);
};

// Held locks by lock id. Only reserve() allocates, so that a mutex once taken
// is always recorded.
class LockTable {
  public:
    // Sets aside room for one more held lock; throws std::bad_alloc and
    // changes nothing when there is no memory. Inline: every LockThread
    // passes here, and almost every time there is room already.
    void reserve() VANTREL_REQUIRES(registryGuard) {
        if (entries_.size() == ids_.claimed()) {
            addEntry();
        }
        ids_.reserve();
    }
    void cancel() noexcept VANTREL_REQUIRES(registryGuard) { ids_.cancel(); }
    // Records a mutex the caller already holds, in reserved room, as taken by
    // the script whose held locks are taker; returns its lock id.
    cell add(const std::shared_ptr<ScriptMutex>& mutex, TakenLocks& taker) noexcept
        VANTREL_REQUIRES(registryGuard);
    bool release(cell lockId) noexcept VANTREL_REQUIRES(registryGuard);
    void releaseTakenBy(TakenLocks& taker) noexcept VANTREL_REQUIRES(registryGuard);

  private:
    void addEntry() VANTREL_REQUIRES(registryGuard);
    void drop(ThreadLock& lock) noexcept VANTREL_REQUIRES(registryGuard);

    IdPool ids_ VANTREL_GUARDED_BY(registryGuard);
    // Entry i holds lock id i + 1 while its taker is set. Lock ids are the
    // smallest free, so the entries are dense, and there are at least as many
    // as lock ids taken and reserved. An entry, once made, stays for the next
    // lock given its id, and keeps the mutex it held last: a script that locks
    // and unlocks one thread in a loop neither allocates nor counts references.
    std::vector<std::unique_ptr<ThreadLock>> entries_ VANTREL_GUARDED_BY(registryGuard);
};
