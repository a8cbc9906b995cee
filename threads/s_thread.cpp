#include "threads/s_thread.h"

#include <pthread.h>

#include <map>

#include <boost/bind/bind.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "plugin/globals.h"
#include "plugin/host.h"
#include "threads/s_manager.h"

namespace {

// The script thread each worker runs. A thread-specific key rather than a
// thread_local: in a plugin loaded with dlopen, a thread_local costs every
// worker a heap allocation at its first use, and with it the worker's own
// allocator cache, a tenth of the memory of a sleeping script thread.
class RunningThread {
  public:
    RunningThread() : ready_(pthread_key_create(&key_, nullptr) == 0) {}
    ~RunningThread() {
        if (ready_) {
            pthread_key_delete(key_);
        }
    }

    // Only a process out of keys fails to make one; without it a worker could
    // not tell itself apart, and one destroying itself would wait for itself.
    bool ready() const { return ready_; }

    S_Thread* get() const { return static_cast<S_Thread*>(pthread_getspecific(key_)); }
    void set(S_Thread* thread) const { pthread_setspecific(key_, thread); }

  private:
    pthread_key_t key_;
    bool ready_;
};

const RunningThread runningThread;

// Workers abandoning a public, by machine. The error field is one per machine:
// a worker clears it only once no other public of its machine is being
// abandoned, or that one would run on past the native that ended it.
boost::mutex abandoningGuard;
std::map<AMX*, int> abandoning;

}  // namespace

S_Thread::S_Thread(cell id, AMX* machine, int publicIndex, cell mode, uint64_t serial)
    : mutex(std::make_shared<ScriptMutex>()),
      mode(mode),
      id(id),
      machine(machine),
      publicIndex(publicIndex),
      serial(serial) {}

void S_Thread::start() {
    stopped = false;
    try {
        worker = boost::thread(boost::bind(&S_Thread::Run, this));
    } catch (...) {
        stopped = true;
        throw;
    }
}

bool S_Thread::workersIdentifiable() {
    return runningThread.ready();
}

S_Thread* S_Thread::current() {
    return runningThread.get();
}

void S_Thread::abandonPublic(AMX* amx) {
    boost::lock_guard<boost::mutex> lock(abandoningGuard);
    host::RaiseError(amx, AMX_ERR_EXIT);
    S_Thread* running = runningThread.get();
    if (running != nullptr && !running->abandoned_) {
        running->abandoned_ = true;
        ++abandoning[running->machine];
    }
}

void S_Thread::Run() {
    runningThread.set(this);
    if (mode == MODE_LOOP) {
        while (!stopped.load(std::memory_order_acquire) && callPublic()) {
        }
    } else if (mode == MODE_ONCE) {
        if (!stopped.load(std::memory_order_acquire) && callPublic()) {
            g_manager->Finish(this);
        }
    }
    ended.store(true, std::memory_order_release);
}

// Returns false when a native abandoned the public: the worker must end.
bool S_Thread::callPublic() {
    host::Push(machine, id);
    host::Exec(machine, nullptr, publicIndex);
    if (!abandoned_) {
        return true;
    }
    // The machine never clears its error field; left set, it would abort the
    // next script code in this machine that returns from a native. Other
    // threads may be reading it, hence the atomic store.
    boost::lock_guard<boost::mutex> lock(abandoningGuard);
    auto entry = abandoning.find(machine);
    if (--entry->second == 0) {
        abandoning.erase(entry);
        __atomic_store_n(&machine->error, AMX_ERR_NONE, __ATOMIC_RELAXED);
    }
    return false;
}
