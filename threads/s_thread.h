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

#include "common/os_thread.h"
#include "common/registry_guard.h"
#include "host/host.h"
#include "host/host_api.h"
#include "locks/script_mutex.h"
#include "own_machine/worker_machine.h"
#include "threads/thread_state.h"

struct Creations;
struct MachineRecord;
struct PendingList;
struct ThreadBooks;

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

// One script thread: a public of one script, run on a worker of its own over
// and over or once. The registry creates, starts, stops and frees it.
class S_Thread {
  public:
    S_Thread(MachineRecord& machine, ScriptMutex& mutex, cell id, int publicIndex, ThreadMode mode,
             OsThread creator);
    S_Thread(const S_Thread&) = delete;
    S_Thread& operator=(const S_Thread&) = delete;
    ~S_Thread();

    // The script thread whose worker is calling, or null on any other thread.
    static S_Thread* current();
    // False when the process could not spare what current() needs.
    static bool workersIdentifiable();

    // Run on the worker. Waits while the thread is Unstarted; then tells the
    // worker which script thread it runs, false when it cannot.
    bool begin() noexcept;
    // Pushes the id and calls the public once: on the worker's own machine,
    // or on script, its script's, which it shares.
    void callPublic(AMX* script) noexcept {
        AMX* amx = ownMachine ? ownMachine->prepare(*script) : script;
        host::Push(amx, id);
        host::Exec(amx, nullptr, publicIndex);
    }
    // Whether amx is the worker's own machine: natives called there are its
    // script's code.
    bool runsOwn(const AMX* amx) const { return ownMachine && ownMachine->runs(amx); }

    ThreadState state() const { return state_.load(std::memory_order_acquire); }

    // Called by the worker: sleeps for that long, or until its thread stops.
    // Returns false when the thread has stopped.
    bool sleepFor(const boost::posix_time::time_duration& duration) noexcept;
    // Ends the worker's sleep once the state has left Running, and its wait to
    // start once the state has left Unstarted. A wait of one's own, not the
    // threading library's interruption: ending a sleep throws no exception,
    // which on Windows would need memory of the runtime that a worker may not
    // get.
    void wake();

    // For the worker itself, which alone sets visiting: reads it without the
    // registry guard.
    MachineRecord* ownVisit() const VANTREL_NO_THREAD_SAFETY_ANALYSIS { return visiting; }

    // From the registry's pool, which keeps it for as long as it is held or
    // waited for after the thread has gone.
    ScriptMutex& mutex;
    MachineRecord& machine;
    const cell id;
    // Looked up once, by the creating native: a public's index is fixed while
    // its script is loaded, and a name that is no public creates no thread.
    const int publicIndex;
    const ThreadMode mode;
    // Null when the worker shares its script's machine. Set before the worker
    // starts; used by the worker alone until it is freed.
    std::unique_ptr<WorkerMachine> ownMachine;
    // The OS thread whose code called CreateThread. A shared machine's worker
    // starts only while that code is out of the script's way, and the
    // server's code on one OS thread lets start only what it created itself.
    const OsThread creator;
    // Started under the registry guard; joined without it by whoever holds
    // the thread in state Freeing, when nothing else touches it.
    boost::thread worker;

    // The threads of shared machines that this worker's code created and
    // that have not arrived yet; made at its first such creation.
    std::unique_ptr<Creations> creations VANTREL_GUARDED_BY(registryGuard);
    // Where it waits to start, among its creator's new threads or, once its
    // creator's code is out of the way, in its machine's queue; and the
    // creator that waits for its arrival. Null when it is in none.
    PendingList* pendingIn VANTREL_GUARDED_BY(registryGuard) = nullptr;
    Creations* awaitedBy VANTREL_GUARDED_BY(registryGuard) = nullptr;
    // Counted among the books' pending starts, from its creation to its
    // arrival.
    bool startPending VANTREL_GUARDED_BY(registryGuard) = false;
    // Started, and not yet inside a native of its own or back from its
    // public: its creator's code waits. Set under the registry guard; the
    // worker reads it at every native without it, where a stale true only
    // costs a look under the guard.
    std::atomic<bool> arriving{false};
    // Its public must end: a native has decided so and raised the error that
    // ends it. Every native it enters raises it again, since the machine's
    // one error field may be cleared by another thread's native call before
    // the machine reads it. Set under the registry guard, read without it.
    std::atomic<bool> ending{false};

    // The script mutex the worker waits for in LockThread.
    ScriptMutex* waitingFor VANTREL_GUARDED_BY(registryGuard) = nullptr;
    // The machines in which this worker's public is being abandoned, its own
    // and those of scripts its public called into. Each is a loaded machine,
    // and its room is kept for as many as are loaded, so that ending a public
    // never needs memory.
    std::vector<MachineRecord*> abandonedIn VANTREL_GUARDED_BY(registryGuard);
    // The other script in whose code the worker is blocked in one of the
    // plugin's natives. Only the worker itself sets it.
    MachineRecord* visiting VANTREL_GUARDED_BY(registryGuard) = nullptr;
    // Links into its machine's threads, into the finished queue or the ended
    // list, into its creator's new threads or its machine's start queue
    // until it starts, and into what its creator awaits from then until it
    // arrives.
    boost::intrusive::list_member_hook<> machineHook VANTREL_GUARDED_BY(registryGuard);
    boost::intrusive::list_member_hook<> queueHook VANTREL_GUARDED_BY(registryGuard);
    boost::intrusive::list_member_hook<> pendingHook VANTREL_GUARDED_BY(registryGuard);
    boost::intrusive::list_member_hook<> awaitHook VANTREL_GUARDED_BY(registryGuard);

  private:
    friend bool transition(S_Thread& thread, ThreadEvent event, ThreadBooks& books);

    // Written under the registry guard by transition() alone. Read without
    // it: the worker polls it between calls of its public and around its
    // sleeps, where a stale Running only delays its end to the next poll.
    std::atomic<ThreadState> state_{ThreadState::Unstarted};
    // Guards the worker's sleep and its wait to start alone. Taken after the
    // registry guard (to wake the worker), never before it.
    boost::mutex sleepGuard_;
    boost::condition_variable woken_;
};
