#pragma once

#include <map>
#include <memory>

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
    using Table = std::map<cell, ThreadLock>;

  public:
    // Room for one more held lock, set aside for one taker.
    class Room {
        Table::node_type node_;
        friend class LockTable;
    };

    // Throws std::bad_alloc and changes nothing when there is no memory.
    Room reserve();
    void cancel(Room room) noexcept;
    // Records a mutex the caller already holds; returns its lock id.
    cell add(Room room, const std::shared_ptr<ScriptMutex>& mutex, MachineRecord& taker) noexcept;
    bool release(cell lockId) noexcept;
    void releaseTakenBy(MachineRecord& taker) noexcept;

  private:
    Table::iterator find(cell lockId);
    void drop(Table::iterator lock) noexcept;

    Table locks_;
    IdPool ids_;
    // The entry of the last released lock, kept for the next one with its
    // mutex: a script that locks and unlocks one thread in a loop then neither
    // allocates nor counts references.
    Table::node_type spare_;
};
