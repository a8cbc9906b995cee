#pragma once

#include <map>
#include <memory>

#include <boost/thread/lock_types.hpp>

#include "locks/script_mutex.h"
#include "plugin/host_api.h"
#include "threads/id_pool.h"

// One held lock. It shares ownership of the mutex so that the mutex outlives
// a script thread destroyed while the lock is held, and remembers the machine
// that took it so that unloading that script can give it back.
struct ThreadLock {
    std::shared_ptr<ScriptMutex> mutex;
    boost::unique_lock<ScriptMutex> hold;
    AMX* machine;
};

// Held locks by lock id. Not synchronised itself: the registry's guard covers it.
class LockTable {
  public:
    // Records a mutex the caller already holds; returns its lock id.
    cell add(const std::shared_ptr<ScriptMutex>& mutex, AMX* machine);
    bool release(cell lockId);
    void releaseTakenBy(AMX* machine);
    void releaseAll();

  private:
    using Table = std::map<cell, ThreadLock>;

    Table::iterator find(cell lockId);

    Table locks_;
    IdPool ids_;
    // The entry of the last released lock, kept for the next one with its
    // mutex: a script that locks and unlocks one thread in a loop then neither
    // allocates nor counts references.
    Table::node_type spare_;
};
