#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include "locks/thread_lock.h"
#include "plugin/host_api.h"
#include "threads/id_pool.h"
#include "threads/s_thread.h"

// The registry of script threads and held locks. One guard covers every table;
// it is never held while waiting for a worker or for a script's mutex.
class S_Manager {
  public:
    S_Manager() = default;
    S_Manager(const S_Manager&) = delete;
    S_Manager& operator=(const S_Manager&) = delete;
    ~S_Manager();

    // Returns the new thread's id, or 0 when the script has no such public,
    // the script is being unloaded, or the worker cannot be started.
    cell Create(const char* publicName, AMX* machine, cell mode);
    // Returns 1 when this call destroyed the thread, 0 when no thread had the id
    // or another call is already destroying it.
    cell Destroy(cell id);
    // Reaps at most one finished single-shot thread.
    void Reap();
    // Destroys every script thread of the machine (of every machine for null)
    // and gives back the locks it took.
    void StopMachine(AMX* machine);

    // Returns a lock id once the thread's mutex is held, 0 for an unknown
    // thread or when the caller's own thread is destroyed meanwhile.
    cell Lock(cell threadId, AMX* machine);
    cell Unlock(cell lockId);

    // Called by a single-shot worker once its public has returned.
    void Finish(S_Thread* thread);

  private:
    struct Finished {
        cell id;
        uint64_t serial;
    };
    using Owned = std::unique_ptr<S_Thread>;

    bool claim(S_Thread& thread);
    void awaitAndFree(S_Thread* thread);
    cell record(const std::shared_ptr<ScriptMutex>& mutex, AMX* machine);
    bool machineClosing(AMX* machine) const;
    void updatePending();

    boost::mutex guard_;
    boost::condition_variable erased_;
    std::deque<Finished> finished_;
    std::map<cell, Owned> threads_;
    LockTable locks_;
    IdPool threadIds_;
    uint64_t nextSerial_ = 1;
    // Self-destroyed threads whose workers still have to be joined.
    std::vector<Owned> retired_;
    // Machines being unloaded; a null entry stands for every machine.
    std::vector<AMX*> closing_;
    // finished_ and retired_ entries together, read by the idle tick alone.
    std::atomic<size_t> pending_{0};
};
