#pragma once

#include <memory>
#include <vector>

#include <boost/intrusive/list.hpp>
#include <boost/thread/lock_types.hpp>

#include "locks/script_mutex.h"
#include "plugin/host_api.h"
#include "threads/id_pool.h"

struct MachineRecord;

// One held lock. It shares ownership of the mutex so that the mutex outlives
// a script thread destroyed while the lock is held, and is linked into the
// record of the machine that took it so that unloading that script can give
// it back.
struct ThreadLock {
    std::shared_ptr<ScriptMutex> mutex;
    boost::unique_lock<ScriptMutex> hold;
    cell id = 0;
    MachineRecord* taker = nullptr;
    boost::intrusive::list_member_hook<> takerHook;
};

using LockList = boost::intrusive::list<
    ThreadLock, boost::intrusive::member_hook<ThreadLock, boost::intrusive::list_member_hook<>,
                                              &ThreadLock::takerHook>>;

// Held locks by lock id. Not synchronised itself: the registry's guard covers
// it. Only reserve() allocates, so that a mutex once taken is always recorded.
class LockTable {
  public:
    // Sets aside room for one more held lock; throws std::bad_alloc and
    // changes nothing when there is no memory. Inline: every LockThread
    // passes here, and almost every time there is room already.
    void reserve() {
        if (entries_.size() == ids_.claimed()) {
            addEntry();
        }
        ids_.reserve();
    }
    void cancel() noexcept { ids_.cancel(); }
    // Records a mutex the caller already holds, in reserved room; returns its
    // lock id.
    cell add(const std::shared_ptr<ScriptMutex>& mutex, MachineRecord& taker) noexcept;
    bool release(cell lockId) noexcept;
    void releaseTakenBy(MachineRecord& taker) noexcept;

  private:
    void addEntry();
    void drop(ThreadLock& lock) noexcept;

    IdPool ids_;
    // Entry i holds lock id i + 1 while its taker is set. Lock ids are the
    // smallest free, so the entries are dense, and there are at least as many
    // as lock ids taken and reserved. An entry, once made, stays for the next
    // lock given its id, and keeps the mutex it held last: a script that locks
    // and unlocks one thread in a loop neither allocates nor counts references.
    std::vector<std::unique_ptr<ThreadLock>> entries_;
};
