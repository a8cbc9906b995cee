#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <map>
#include <memory>

#include <boost/intrusive/list.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include "locks/thread_lock.h"
#include "plugin/host_api.h"
#include "threads/id_pool.h"
#include "threads/machine_record.h"
#include "threads/s_thread.h"

// The registry of script machines, script threads and held locks. One guard
// covers all of it; it is never held while joining a worker or while waiting
// for a script mutex or for a destruction.
//
// It only keeps the books: when a native must end the public that called it,
// the registry says so, and the native talks to the script machine.
class S_Manager final : private ThreadOwner {
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
    void AddMachine(AMX* amx);
    // Stops and frees the machine's threads, gives back the locks it took and
    // drops its record. Threads of other machines run on.
    void RemoveMachine(AMX* amx);

    // Returns the new thread's id, or 0 when nothing was created: the machine
    // is being unloaded, the workers' ceiling is reached, or there is no
    // memory or no OS thread for it.
    cell Create(AMX* amx, int publicIndex, ThreadMode mode);
    // amx is the machine whose code called DestroyThread.
    Destroyed Destroy(cell id, AMX* amx);
    // Frees every thread whose worker ended with nobody waiting for it, and at
    // most one finished single-shot thread.
    void Reap();

    // Waits until the thread's mutex is free and records it as held by amx's
    // script. The wait is cut short only for a worker whose script unloads.
    Locked Lock(cell threadId, AMX* amx);
    bool Unlock(cell lockId);

    // Around a native of the plugin's own that may block, such as a sleep,
    // called in amx. EnterNative returns false when the calling worker's
    // public must end at once; LeaveNative, told whether it must end, returns
    // the machines to raise the error in.
    bool EnterNative(AMX* amx);
    Machines LeaveNative(AMX* amx, bool endPublic);

  private:
    using Guard = boost::unique_lock<boost::mutex>;
    using ThreadQueue = boost::intrusive::list<
        S_Thread, boost::intrusive::member_hook<S_Thread, boost::intrusive::list_member_hook<>,
                                                &S_Thread::queueHook>>;

    void workerEnded(S_Thread& thread, ClearError clearError) noexcept override;

    Machines abandon(S_Thread& self, AMX* amx);
    void enter(S_Thread* self, AMX* amx);
    void leave(S_Thread* self);
    bool unloading(const S_Thread* self) const;
    bool stop(S_Thread& thread, bool freedByCaller);
    void free(Guard& guard, S_Thread& thread);
    void close(Guard& guard, const MachineRecord* only);
    MachineRecord* record(AMX* amx);
    void releaseId(S_Thread& thread);
    void updatePending();

    boost::mutex guard_;
    // A worker ended, a thread was freed, or a machine began closing.
    boost::condition_variable changed_;
    std::map<AMX*, std::unique_ptr<MachineRecord>> machines_;
    // Threads by id. The registry owns every thread from Create until it is
    // freed, linked into its machine's record all that time; one that
    // destroyed itself leaves this table at once, one stopped otherwise when
    // its worker has ended.
    std::map<cell, S_Thread*> threads_;
    IdPool threadIds_;
    ThreadQueue finished_;  // oldest first
    ThreadQueue ended_;
    LockTable locks_;
    // Threads not yet freed: each still holds its worker's stack.
    size_t workers_ = 0;
    // finished_ and ended_ together, read by the idle tick alone.
    std::atomic<size_t> pending_{0};
};
