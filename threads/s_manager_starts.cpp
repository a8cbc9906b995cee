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

// Whose new threads the calling code waits for: a worker's own, or what the
// server's code created in the script whose code waits. Null when there are
// none.
Creations* S_Manager::creationsOf(const S_Thread* self, MachineRecord* waiting) {
    if (self != nullptr) {
        return self->creations.get();
    }
    return waiting != nullptr ? &waiting->serverCreations : nullptr;
}

// The calling code waits in a native: each thread it created may start, one
// by one as each before it in its machine arrives. The server's thread runs
// every script's code, and only the waiting script's code waits here:
// threads other scripts' code created wait for a tick. Each thread is let
// start once, so a chain of n starts costs n steps.
void S_Manager::clearStarts(const S_Thread* self, MachineRecord* waiting) {
    Creations* creator = creationsOf(self, waiting);
    if (creator == nullptr || creator->created.empty()) {
        return;
    }
    OsThread me = currentOsThread();
    for (auto next = creator->created.begin(); next != creator->created.end();) {
        S_Thread& thread = *next++;
        if (self == nullptr && thread.creator != me) {
            continue;
        }
        ThreadBooks::movePending(thread, &thread.machine.startQueue);
        thread.awaitedBy = creator;
        creator->awaited.push_back(thread);
        startNext(thread.machine);
    }
}

// Until every thread the calling code let start has arrived; for a worker
// whose public returned, only while it runs.
void S_Manager::awaitStarts(RegistryLock& lock, const Creations* creator,
                            const S_Thread* whileRunning) {
    while (creator != nullptr && !creator->awaited.empty() &&
           (whileRunning == nullptr || whileRunning->state() == ThreadState::Running)) {
        lock.wait(changed_);
    }
}

// The server's code has returned: each machine starts one thread that code
// created per tick, without waiting for it. Threads a tick started are not
// waited for either.
void S_Manager::startsFromTick() {
    for (auto& entry : machines_) {
        MachineRecord& machine = *entry.second;
        startNext(machine);
        if (machine.starting == nullptr && !machine.serverCreations.created.empty()) {
            start(machine.serverCreations.created.front());
        }
    }
}

// A worker that ends lets every thread it created start, and waits for none.
void S_Manager::releaseStarts(S_Thread& self) {
    Creations* creator = self.creations.get();
    if (creator == nullptr) {
        return;
    }
    while (!creator->awaited.empty()) {
        creator->awaited.front().awaitedBy = nullptr;
        creator->awaited.pop_front();
    }
    while (!creator->created.empty()) {
        S_Thread& thread = creator->created.front();
        ThreadBooks::movePending(thread, &thread.machine.startQueue);
        startNext(thread.machine);
    }
}

void S_Manager::startNext(MachineRecord& machine) {
    if (machine.starting == nullptr && !machine.startQueue.empty()) {
        start(machine.startQueue.front());
    }
}

void S_Manager::start(S_Thread& thread) {
    thread.machine.starting = &thread;
    thread.arriving.store(true, std::memory_order_release);
    unsettled_.fetch_add(1, std::memory_order_release);
    ThreadBooks::movePending(thread, nullptr);
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
