#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/intrusive/list_hook.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "locks/script_mutex.h"
#include "plugin/host_api.h"

struct MachineRecord;

enum ThreadMode : cell {
    MODE_LOOP = 1,
    MODE_ONCE = 2,
};

// Each worker reserves its whole stack in the server's address space when it
// starts. Natives of the server and of other plugins run on it as well when a
// public calls them, so it is far larger than the plugin itself needs.
constexpr size_t kWorkerStackBytes = 256 * 1024;

// A 32-bit server has 4 GiB of address space at best, 2 GiB on Windows, and
// needs most of it for itself: the workers' stacks together take at most
// 512 MiB of it. A 64-bit process has room to spare.
constexpr size_t kMaxWorkers =
    sizeof(void*) == 4 ? (size_t{512} << 20) / kWorkerStackBytes : SIZE_MAX;

// Where a script thread is in its life. Only the registry changes it, under
// its guard:
//
//   Running  -> Finished  its single-shot public returned (reported by the worker)
//   Running  -> Claimed   DestroyThread: the destroyer waits for the worker
//   Running  -> Retired   the public destroyed its own thread, or its script unloads
//   Finished -> Freeing   a tick, DestroyThread or an unload takes it
//   Claimed  -> Freeing   the worker has ended; its destroyer frees it
//   Claimed  -> Retired   the destroyer stopped waiting: its own script unloads
//   Retired  -> Ended     the worker has ended; nobody holds it
//   Ended    -> Freeing   a tick or an unload takes it
//
// From Claimed, Retired and Ended on, the worker runs no new call of its
// public, and a running one ends at its next SleepThread, or at a
// DestroyThread that would wait.
enum class ThreadState {
    Running,
    Finished,
    Claimed,
    Retired,
    Ended,
    Freeing,
};

class S_Thread;

// What a worker tells the registry that started it.
class ThreadOwner {
  public:
    using ClearError = void (*)(AMX* amx);

    // The worker runs no more script code. The registry calls clearError,
    // under its guard, for every machine whose error field this worker's
    // abandonment set and no other abandonment still needs.
    virtual void workerEnded(S_Thread& thread, ClearError clearError) noexcept = 0;

  protected:
    ~ThreadOwner() = default;
};

// One script thread: a public of one script, run on a worker of its own over
// and over or once. The registry creates, stops and frees it; the fields
// marked as the registry's are read and written only under its guard.
class S_Thread {
  public:
    S_Thread(ThreadOwner& owner, MachineRecord& machine, cell id, int publicIndex, ThreadMode mode);
    S_Thread(const S_Thread&) = delete;
    S_Thread& operator=(const S_Thread&) = delete;

    // Starts the worker; throws when it cannot (no memory, or no thread).
    void start();

    // The script thread whose worker is calling, or null on any other thread.
    static S_Thread* current();
    // False when the process could not spare what current() needs.
    static bool workersIdentifiable();

    // Read anywhere; the worker polls it between calls of its public.
    ThreadState state() const { return state_.load(std::memory_order_acquire); }
    // The registry's, under its guard.
    void setState(ThreadState state) { state_.store(state, std::memory_order_release); }

    // Called by the worker: sleeps for that long, or until its thread stops.
    // Returns false when the thread has stopped.
    bool sleepFor(const boost::posix_time::time_duration& duration) noexcept;
    // Ends the worker's sleep; the registry calls it once the state has left
    // Running. A wait of one's own, not the threading library's interruption:
    // ending a sleep throws no exception, which on Windows would need memory
    // of the runtime that a worker may not get.
    void wake();

    const std::shared_ptr<ScriptMutex> mutex;
    MachineRecord& machine;
    const cell id;
    // Looked up once, by the creating native: a public's index is fixed while
    // its script is loaded, and a name that is no public creates no thread.
    const int publicIndex;
    const ThreadMode mode;
    boost::thread worker;

    // The registry's: the script mutex the worker waits for in LockThread.
    std::shared_ptr<ScriptMutex> waitingFor;
    // The registry's: the machines in which this worker's public is being
    // abandoned, its own and those of scripts its public called into. Each is
    // a loaded machine, and its room is kept for as many as are loaded, so
    // that ending a public never needs memory.
    std::vector<MachineRecord*> abandonedIn;
    // The registry's: the other script in whose code the worker is blocked
    // in one of the plugin's natives.
    MachineRecord* visiting = nullptr;
    // The registry's: links into its machine's threads, and into the finished
    // queue or the ended list.
    boost::intrusive::list_member_hook<> machineHook;
    boost::intrusive::list_member_hook<> queueHook;

  private:
    void Run() noexcept;

    ThreadOwner& owner_;
    std::atomic<ThreadState> state_{ThreadState::Running};
    boost::mutex sleepGuard_;
    boost::condition_variable woken_;
};
