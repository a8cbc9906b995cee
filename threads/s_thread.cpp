#include "threads/s_thread.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <boost/thread/lock_guard.hpp>

#include "common/wait.h"
#include "host/host.h"
#include "threads/thread_books.h"

namespace {

// The script thread each worker runs. A thread-specific key rather than a
// thread_local: in a plugin loaded with dlopen, a thread_local costs every
// worker a heap allocation at its first use, and with it the worker's own
// allocator cache, a tenth of the memory of a sleeping script thread. On
// Windows the system's own slot: winpthreads keeps a record for every thread
// that uses its keys, which Boost's threads are not, and crashes when it
// cannot allocate that record.
class RunningThread {
  public:
#ifdef _WIN32
    RunningThread() : slot_(TlsAlloc()), ready_(slot_ != TLS_OUT_OF_INDEXES) {}
    ~RunningThread() {
        if (ready_) {
            TlsFree(slot_);
        }
    }
    S_Thread* get() const {
        return static_cast<S_Thread*>(TlsGetValue(slot_));
    }
    bool set(S_Thread* thread) const {
        return TlsSetValue(slot_, thread) != 0;
    }
#else
    RunningThread() : ready_(pthread_key_create(&slot_, nullptr) == 0) {}
    ~RunningThread() {
        if (ready_) {
            pthread_key_delete(slot_);
        }
    }
    S_Thread* get() const {
        return static_cast<S_Thread*>(pthread_getspecific(slot_));
    }
    bool set(S_Thread* thread) const {
        return pthread_setspecific(slot_, thread) == 0;
    }
#endif

    // Only a process out of keys fails to make one; without it a worker could
    // not tell itself apart, and one destroying itself would wait for itself.
    bool ready() const {
        return ready_;
    }

  private:
#ifdef _WIN32
    DWORD slot_;
#else
    pthread_key_t slot_;
#endif
    bool ready_;
};

const RunningThread runningThread;

}  // namespace

S_Thread::S_Thread(MachineRecord& machine, ScriptMutex& mutex, cell id, int publicIndex,
                   ThreadMode mode, OsThread creator)
    : mutex(mutex),
      machine(machine),
      id(id),
      publicIndex(publicIndex),
      mode(mode),
      creator(creator) {}

// Out of line: its creations are complete only here.
S_Thread::~S_Thread() = default;

bool S_Thread::sleepFor(const boost::posix_time::time_duration& duration) noexcept {
    boost::unique_lock<boost::mutex> lock(sleepGuard_);
    if (state() == ThreadState::Running) {
        waitWithoutThrowing(lock, [&] { woken_.timed_wait(lock, duration); });
    }
    return state() == ThreadState::Running;
}

void S_Thread::wake() {
    // Taken once, so that a worker between its look at the state and its
    // wait cannot miss the wake-up.
    { boost::lock_guard<boost::mutex> lock(sleepGuard_); }
    woken_.notify_all();
}

bool S_Thread::workersIdentifiable() {
    return runningThread.ready();
}

S_Thread* S_Thread::current() {
    return runningThread.get();
}

bool S_Thread::begin() noexcept {
    {
        boost::unique_lock<boost::mutex> lock(sleepGuard_);
        while (state() == ThreadState::Unstarted) {
            waitWithoutThrowing(lock, [&] { woken_.wait(lock); });
        }
    }
    // A worker that cannot tell itself apart runs nothing: destroying its own
    // thread, it would wait for itself.
    return runningThread.set(this);
}
