#include "threads/s_thread.h"

#include <pthread.h>

#include <boost/bind/bind.hpp>

#include "plugin/host.h"
#include "threads/machine_record.h"

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
    bool set(S_Thread* thread) const { return pthread_setspecific(key_, thread) == 0; }

  private:
    pthread_key_t key_;
    bool ready_;
};

const RunningThread runningThread;

// The machine never clears its error field itself; left set, it would abort
// the next script code in that machine that returns from a native. Other
// threads may be reading it, hence the atomic store.
void clearError(AMX* amx) {
    __atomic_store_n(&amx->error, AMX_ERR_NONE, __ATOMIC_RELAXED);
}

}  // namespace

S_Thread::S_Thread(ThreadOwner& owner, MachineRecord& machine, cell id, int publicIndex,
                   ThreadMode mode)
    : mutex(std::make_shared<ScriptMutex>()),
      machine(machine),
      id(id),
      publicIndex(publicIndex),
      mode(mode),
      owner_(owner) {}

void S_Thread::start() {
    boost::thread::attributes attributes;
    attributes.set_stack_size(kWorkerStackBytes);
    worker = boost::thread(attributes, boost::bind(&S_Thread::Run, this));
}

bool S_Thread::workersIdentifiable() {
    return runningThread.ready();
}

S_Thread* S_Thread::current() {
    return runningThread.get();
}

void S_Thread::Run() noexcept {
    // A worker that cannot tell itself apart runs nothing: destroying its own
    // thread, it would wait for itself.
    bool identified = runningThread.set(this);
    AMX* amx = machine.amx;
    while (identified && state() == ThreadState::Running) {
        host::Push(amx, id);
        host::Exec(amx, nullptr, publicIndex);
        if (mode != MODE_LOOP) {
            break;
        }
    }
    owner_.workerEnded(*this, &clearError);
}
