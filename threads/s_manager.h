#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <memory>

#include <boost/thread/condition_variable.hpp>

#include "common/registry_guard.h"
#include "host/host_api.h"
#include "locks/thread_lock.h"
#include "threads/machine_record.h"
#include "threads/s_thread.h"
#include "threads/thread_books.h"

// The registry of script machines, script threads and held locks, all under
// the registry guard (common/registry_guard.h).
//
// It only keeps the books: when a native must end the public that called it,
// the registry says so, and the native talks to the script machine.
class S_Manager final {
  public:
    // The machines to raise the error in that ends the calling worker's
    // public; null entries stand for none.
    using Machines = std::array<AMX*, 2>;
    struct Destroyed {
        // False also when another caller, a tick or an unload is stopping it.
        bool destroyed;
        Machines endPublicIn;
    };
    struct Locked {
        cell lockId;  // 0 when nothing was locked
        Machines endPublicIn;
    };

    S_Manager() = default;
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
    // memory or no OS thread for it.
    cell Create(AMX* amx, int publicIndex, ThreadMode mode) VANTREL_EXCLUDES(registryGuard);
    // amx is the machine whose code called DestroyThread.
    Destroyed Destroy(cell id, AMX* amx) VANTREL_EXCLUDES(registryGuard);
    // Frees every thread whose worker ended with nobody waiting for it, and at
    // most one finished single-shot thread.
    void Reap() VANTREL_EXCLUDES(registryGuard);

    // LockThread and UnLockThread (threads/s_manager_locks.cpp). Lock waits
    // until the thread's mutex is free and records it as held by amx's
    // script; the wait is cut short only for a worker whose script unloads.
    Locked Lock(cell threadId, AMX* amx) VANTREL_EXCLUDES(registryGuard);
    bool Unlock(cell lockId) VANTREL_EXCLUDES(registryGuard);

    // Around a native of the plugin's own that may block, such as a sleep,
    // called in amx. EnterNative returns false when the calling worker's
    // public must end at once; LeaveNative, told whether it must end, returns
    // the machines to raise the error in.
    bool EnterNative(AMX* amx) VANTREL_EXCLUDES(registryGuard);
    Machines LeaveNative(AMX* amx, bool endPublic) VANTREL_EXCLUDES(registryGuard);

  private:
    // The body of every worker: its public, then its end in the books.
    void runWorker(S_Thread& thread) noexcept VANTREL_EXCLUDES(registryGuard);

    Machines abandon(S_Thread& self, AMX* amx) VANTREL_REQUIRES(registryGuard);
    void enter(S_Thread* self, AMX* amx) VANTREL_REQUIRES(registryGuard);
    void leave(S_Thread* self) VANTREL_REQUIRES(registryGuard);
    bool unloading(const S_Thread* self) const VANTREL_REQUIRES(registryGuard);
    void free(RegistryLock& lock, S_Thread& thread) VANTREL_REQUIRES(registryGuard);
    void close(RegistryLock& lock, const MachineRecord* only) VANTREL_REQUIRES(registryGuard);
    MachineRecord* record(AMX* amx) VANTREL_REQUIRES(registryGuard);

    // A worker ended, a thread was freed, or a machine began closing.
    boost::condition_variable changed_;
    std::map<AMX*, std::unique_ptr<MachineRecord>> machines_ VANTREL_GUARDED_BY(registryGuard);
    ThreadBooks threads_;
    LockTable locks_;
    // Threads not yet freed: each still holds its worker's stack.
    size_t workers_ VANTREL_GUARDED_BY(registryGuard) = 0;
};

// The one registry, from Load to Unload.
extern S_Manager* g_manager;
