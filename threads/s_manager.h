#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/thread/condition_variable.hpp>

#include "common/os_thread.h"
#include "common/registry_guard.h"
#include "host/host_api.h"
#include "locks/lock_table.h"
#include "locks/mutex_pool.h"
#include "locks/script_mutex.h"
#include "threads/machine_record.h"
#include "threads/s_thread.h"
#include "threads/script_index.h"
#include "threads/thread_books.h"

// The registry of script machines, script threads and held locks, all under
// the registry guard (common/registry_guard.h), except for the lock path:
// a lock or an unlock that need not wait takes no guard at all
// (threads/s_manager_locks.cpp).
//
// It only keeps the books: when a native must end the public that called it,
// the registry marks the calling worker as ending, and the native talks to the
// script machine.
class S_Manager final {
  public:
    // The machines to raise the error in that ends the calling worker's
    // public; null entries stand for none.
    using Machines = std::array<AMX*, 2>;

    S_Manager() : locks_(mutexes_) {}
    S_Manager(const S_Manager&) = delete;
    S_Manager& operator=(const S_Manager&) = delete;
    // Stops and frees every thread and gives back every lock.
    ~S_Manager();

    // Throws std::bad_alloc when there is no memory for the record, or for
    // the room every thread keeps to be abandoned in each loaded machine.
    void AddMachine(AMX* amx) VANTREL_EXCLUDES(registryGuard);
    // Stops and frees the machine's threads, gives back the locks it took and
    // drops its record. Threads of other machines run on.
    void RemoveMachine(AMX* amx) VANTREL_EXCLUDES(registryGuard);

    // Returns the new thread's id, or 0 when nothing was created: the machine
    // is being unloaded, the workers' ceiling is reached, or there is no
    // memory or no OS thread for it. The worker starts its public once the
    // calling code is out of the script's way (threads/s_manager_starts.cpp).
    cell Create(AMX* amx, int publicIndex, ThreadMode mode) VANTREL_EXCLUDES(registryGuard);
    // Natives pass self, the calling worker's script thread or null on any
    // other thread (S_Thread::current()), and amx, the machine whose code
    // called them.
    //
    // Destroy is false also when another caller, a tick or an unload is
    // stopping the thread.
    bool Destroy(cell id, AMX* amx, S_Thread* self) VANTREL_EXCLUDES(registryGuard);
    // Frees every thread whose worker ended with nobody waiting for it, and at
    // most one finished single-shot thread; starts the threads that the
    // server's code created and that have not started yet.
    void Reap() VANTREL_EXCLUDES(registryGuard);

    // LockThread and UnLockThread (threads/s_manager_locks.cpp). Lock waits
    // until the thread's mutex is free and records it as held by amx's
    // script; the wait is cut short only for a worker that an unload waits
    // for. Returns the lock id, 0 when nothing was locked.
    cell Lock(cell threadId, AMX* amx) VANTREL_EXCLUDES(registryGuard);
    bool Unlock(cell lockId) VANTREL_EXCLUDES(registryGuard);

    // Around SleepThread, called in amx on any thread. BeginSleep returns
    // false when the calling worker's public must end at once; EndSleep is
    // told whether it must end, and tells.
    bool BeginSleep(AMX* amx, S_Thread* self) VANTREL_EXCLUDES(registryGuard);
    // Returns whether the public ends, endPublic or a stop that came since.
    bool EndSleep(AMX* amx, S_Thread* self, bool endPublic) VANTREL_EXCLUDES(registryGuard);

    // At every native (natives/native_call.h). Whether some worker has
    // started and not yet arrived, or must end its public: only then has a
    // native more to do than its work. Read without the guard: a worker that
    // is such a one was made so on its own thread, or before it was woken.
    bool Unsettled() const noexcept { return unsettled_.load(std::memory_order_acquire) != 0; }
    // The worker has reached a native since it started, and its creator's
    // code may go on.
    void Arrive(S_Thread& self) VANTREL_EXCLUDES(registryGuard);
    // The worker's public must end: counts the abandonment of amx once, and
    // returns the machines to raise the error in, every time.
    Machines EndAgain(S_Thread& self, AMX* amx) VANTREL_EXCLUDES(registryGuard);

  private:
    static void writeToLog(const std::vector<std::string>& lines);
    // The body of every worker: waits for its start, runs its public, and
    // ends in the books.
    void runWorker(S_Thread& thread) noexcept VANTREL_EXCLUDES(registryGuard);
    void publicReturned(S_Thread& self) VANTREL_EXCLUDES(registryGuard);

    // The start of new workers (threads/s_manager_starts.cpp).
    Creations* creationsOf(const S_Thread* self, MachineRecord* waiting)
        VANTREL_REQUIRES(registryGuard);
    void clearStarts(const S_Thread* self, MachineRecord* waiting) VANTREL_REQUIRES(registryGuard);
    void awaitStarts(RegistryLock& lock, const Creations* creator, const S_Thread* whileRunning)
        VANTREL_REQUIRES(registryGuard);
    void startsFromTick() VANTREL_REQUIRES(registryGuard);
    void releaseStarts(S_Thread& self) VANTREL_REQUIRES(registryGuard);
    void startNext(MachineRecord& machine) VANTREL_REQUIRES(registryGuard);
    void start(S_Thread& thread) VANTREL_REQUIRES(registryGuard);
    void arrive(S_Thread& self) VANTREL_REQUIRES(registryGuard);

    Machines abandon(S_Thread& self, AMX* amx) VANTREL_REQUIRES(registryGuard);
    void enter(S_Thread* self, AMX* amx) VANTREL_REQUIRES(registryGuard);
    void leave(S_Thread* self) VANTREL_REQUIRES(registryGuard);
    bool unloading(const S_Thread* self) const VANTREL_REQUIRES(registryGuard);
    void free(RegistryLock& lock, S_Thread& thread) VANTREL_REQUIRES(registryGuard);
    void close(RegistryLock& lock, const MachineRecord* only) VANTREL_REQUIRES(registryGuard);
    MachineRecord* record(AMX* amx) VANTREL_REQUIRES(registryGuard);
    // The lock path that takes the guard: for a mutex that is held or waited
    // for, and for callers that the path without it cannot place.
    cell lockWaiting(cell threadId, AMX* amx) VANTREL_EXCLUDES(registryGuard);
    void releaseTakenBy(const MachineRecord& machine) VANTREL_REQUIRES(registryGuard);
    // The record of the script whose code called a native in amx: a worker's
    // own machine runs its script's code.
    MachineRecord* callerRecord(AMX* amx, const S_Thread* self) VANTREL_REQUIRES(registryGuard);

    // A worker ended or arrived, a thread was freed or claimed, or a machine
    // began closing.
    boost::condition_variable changed_;
    std::map<AMX*, std::unique_ptr<MachineRecord>> machines_ VANTREL_GUARDED_BY(registryGuard);
    // Before the books and the held locks, which name its mutexes, so that
    // it goes after them.
    MutexPool mutexes_;
    ThreadBooks threads_;
    LockTable locks_;
    ScriptIndex scripts_;
    // Threads not yet freed: each still holds its worker's stack.
    size_t workers_ VANTREL_GUARDED_BY(registryGuard) = 0;
    // Workers arriving or ending; changed under the guard.
    std::atomic<int> unsettled_{0};
    // Odd while a close runs, which only the server's thread does: the lock
    // path that takes no guard sees that no script it may be called from is
    // closing, and after it took its lock, that none began to.
    std::atomic<uint32_t> closeEpoch_{0};
};

// The one registry, from Load to Unload. Written by Load before any worker
// starts and cleared by Unload after every worker has been joined; natives
// and workers read it in between without a guard.
extern S_Manager* g_manager;
