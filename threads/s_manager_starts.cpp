// When a new worker may start its public. A script machine has one stack and
// one register set: the worker's push of its argument and the start of its
// execution take the registers as they stand, and code of the same script
// that runs at that moment on another thread keeps its own copies and writes
// over what the worker built, or moves the registers between the push and the
// start. Code that is inside a native has written its registers back and
// runs no script code until it returns. So a new worker starts only while
// the code that created it waits in one of the plugin's natives, or once
// that code has returned (a tick, for the server's code; the end of the
// public, for a worker's), one worker of a machine at a time; and code that
// waits in a native goes on only once every worker it let start has arrived:
// entered a native of its own or returned from its public.
#include "threads/s_manager.h"

void S_Manager::Arrive(S_Thread& self) {
    RegistryLock lock;
    if (self.arriving.load(std::memory_order_relaxed)) {
        arrive(self);
    }
}

// The creator's code waits in a native: each thread it created may start,
// one by one as each before it arrives.
void S_Manager::clearStarts(OsThread creator) {
    if (threads_.starts.empty()) {
        return;
    }
    for (S_Thread& thread : threads_.starts) {
        if (thread.creator == creator && thread.state() == ThreadState::Unstarted) {
            thread.cleared = true;
        }
    }
    for (S_Thread& thread : threads_.starts) {
        if (thread.cleared && thread.state() == ThreadState::Unstarted) {
            startNext(thread.machine);
        }
    }
}

// Until every thread the creator let start has arrived; for a worker whose
// public returned, only while it runs. Threads a tick started are not
// waited for: their creator's code has long returned.
void S_Manager::awaitStarts(RegistryLock& lock, OsThread creator, const S_Thread* whileRunning) {
    while (awaitingStarts(creator) &&
           (whileRunning == nullptr || whileRunning->state() == ThreadState::Running)) {
        lock.wait(changed_);
    }
}

bool S_Manager::awaitingStarts(OsThread creator) {
    for (S_Thread& thread : threads_.starts) {
        if (thread.creator == creator && thread.cleared) {
            return true;
        }
    }
    return false;
}

// The server's code that created these threads has returned: each machine
// starts one of them per tick, without waiting for it.
void S_Manager::startsFromTick(OsThread tick) {
    for (S_Thread& thread : threads_.starts) {
        if (thread.creator == tick && thread.state() == ThreadState::Unstarted &&
            thread.machine.starting == nullptr) {
            start(thread);
        }
    }
}

void S_Manager::startNext(MachineRecord& machine) {
    if (machine.starting != nullptr) {
        return;
    }
    for (S_Thread& thread : threads_.starts) {
        if (&thread.machine == &machine && thread.cleared &&
            thread.state() == ThreadState::Unstarted) {
            start(thread);
            return;
        }
    }
}

void S_Manager::start(S_Thread& thread) {
    thread.machine.starting = &thread;
    thread.arriving.store(true, std::memory_order_release);
    transition(thread, ThreadEvent::Start, threads_);
}

void S_Manager::arrive(S_Thread& self) {
    self.arriving.store(false, std::memory_order_relaxed);
    threads_.removeStart(self);
    if (self.machine.starting == &self) {
        self.machine.starting = nullptr;
        startNext(self.machine);
    }
    changed_.notify_all();
}
