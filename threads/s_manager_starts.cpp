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

// The calling code, of the script whose record is waiting, waits in a
// native: each thread it created may start, one by one as each before it
// arrives. A worker's code is all its own; the server's thread runs every
// script's code, and only the waiting script's code waits here: threads
// other scripts' code created wait for a tick.
void S_Manager::clearStarts(const S_Thread* self, const MachineRecord* waiting) {
    if (threads_.starts.empty() || (self == nullptr && waiting == nullptr)) {
        return;
    }
    OsThread me = currentOsThread();
    const MachineRecord* only = self != nullptr ? nullptr : waiting;
    for (S_Thread& thread : threads_.starts) {
        if (thread.creator == me && thread.state() == ThreadState::Unstarted &&
            (only == nullptr || &thread.machine == only)) {
            thread.cleared = true;
        }
    }
    for (S_Thread& thread : threads_.starts) {
        if (thread.cleared && thread.state() == ThreadState::Unstarted) {
            startNext(thread.machine);
        }
    }
}

// Until every thread the calling code let start has arrived; for a worker
// whose public returned, only while it runs.
void S_Manager::awaitStarts(RegistryLock& lock, const S_Thread* whileRunning) {
    OsThread me = currentOsThread();
    while (awaitingStarts(me) &&
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

// The server's code has returned: each machine starts one thread that
// code created per tick, without waiting for it. Threads a tick started are
// not waited for either.
void S_Manager::startsFromTick() {
    for (S_Thread& thread : threads_.starts) {
        if (!thread.createdByWorker && thread.state() == ThreadState::Unstarted &&
            thread.machine.starting == nullptr) {
            start(thread);
        }
    }
}

// A worker that ends lets every thread it created start, and waits for none:
// its OS thread's id may soon be another's.
void S_Manager::releaseStarts() {
    OsThread me = currentOsThread();
    for (S_Thread& thread : threads_.starts) {
        if (thread.creator == me) {
            thread.creator = kNoThread;
            thread.cleared = true;
            if (thread.state() == ThreadState::Unstarted) {
                startNext(thread.machine);
            }
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
    unsettled_.fetch_add(1, std::memory_order_release);
    transition(thread, ThreadEvent::Start, threads_);
}

void S_Manager::arrive(S_Thread& self) {
    self.arriving.store(false, std::memory_order_relaxed);
    unsettled_.fetch_sub(1, std::memory_order_release);
    threads_.removeStart(self);
    if (self.machine.starting == &self) {
        self.machine.starting = nullptr;
        startNext(self.machine);
    }
    changed_.notify_all();
}
