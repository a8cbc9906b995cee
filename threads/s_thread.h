#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <boost/thread/thread.hpp>

#include "locks/script_mutex.h"
#include "plugin/host_api.h"

enum ThreadMode : cell {
    MODE_LOOP = 1,
    MODE_ONCE = 2,
};

// One script thread: a public of one script, run on a worker of its own over
// and over or once. The registry creates, claims and frees it; the fields
// marked as the registry's are read and written only under its guard.
class S_Thread {
  public:
    S_Thread(cell id, AMX* machine, int publicIndex, cell mode, uint64_t serial);
    S_Thread(const S_Thread&) = delete;
    S_Thread& operator=(const S_Thread&) = delete;

    // Starts the worker; throws boost::thread_resource_error when it cannot.
    void start();

    // The script thread whose worker is calling, or null on any other thread.
    static S_Thread* current();
    // False when the process could not spare what current() needs.
    static bool workersIdentifiable();

    // Makes the machine abandon the public that called the running native. On a
    // worker, the worker then clears the machine's error and ends.
    static void abandonPublic(AMX* amx);

    const std::shared_ptr<ScriptMutex> mutex;
    const cell mode;
    const cell id;
    AMX* const machine;
    boost::thread worker;
    std::atomic<bool> stopped{true};
    // Looked up once, by the creating native: a public's index is fixed while
    // its script is loaded, and a name that is no public creates no thread.
    const int publicIndex;

    // The registry's: tells this thread from a newer one given the same id.
    const uint64_t serial;
    // The registry's: a destroyer has taken this thread over.
    bool claimed = false;
    // The registry's: the script mutex the worker waits for in LockThread.
    std::shared_ptr<ScriptMutex> waitingFor;
    // Its script is being unloaded: the worker stops waiting for script locks.
    std::atomic<bool> unloading{false};
    // Set as the worker's last act, once it no longer touches the machine.
    std::atomic<bool> ended{false};

  private:
    void Run();
    bool callPublic();

    // Written and read only by the worker: a native asked the machine to
    // abandon the public.
    bool abandoned_ = false;
};
