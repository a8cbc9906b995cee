#include "threads/s_manager.h"

#include <algorithm>
#include <new>
#include <utility>

#include <boost/bind/bind.hpp>
#include <boost/thread/thread.hpp>

#include "host/host.h"

S_Manager* g_manager = nullptr;

S_Manager::~S_Manager() {
    RegistryLock lock;
    close(lock, nullptr);
    machines_.clear();
}

void S_Manager::AddMachine(AMX* amx) {
    auto record = std::make_unique<MachineRecord>(amx);
    RegistryLock lock;
    if (machines_.count(amx) != 0) {
        return;
    }
    // Any worker may run into the new script's code and be abandoned there.
    for (auto& entry : machines_) {
        for (S_Thread& thread : entry.second->threads) {
            thread.abandonedIn.reserve(machines_.size() + 1);
        }
    }
    uint32_t slot = scripts_.add(amx);
    record->slot = slot;
    try {
        machines_.emplace(amx, std::move(record));
    } catch (...) {
        scripts_.remove(slot);
        throw;
    }
}

void S_Manager::RemoveMachine(AMX* amx) {
    std::vector<std::string> notices;
    {
        RegistryLock lock;
        MachineRecord* machine = record(amx);
        if (machine == nullptr) {
            return;
        }
        close(lock, machine);
        // The record goes whatever becomes of its lines: its room gives the
        // host its block back.
        try {
            if (machine->room) {
                notices = machine->room->takeNotices();
            }
        } catch (const std::bad_alloc&) {
        }
        machines_.erase(amx);
    }
    writeToLog(notices);
}

cell S_Manager::Create(AMX* amx, int publicIndex, ThreadMode mode) {
    S_Thread* self = S_Thread::current();
    RegistryLock lock;
    MachineRecord* machine = callerRecord(amx, self);
    if (machine == nullptr || machine->closing || workers_ >= kMaxWorkers) {
        return 0;
    }
    std::unique_ptr<WorkerMachine> ownMachine;
    if (machine->room) {
        size_t slot = 0;
        if (!machine->room->takeSlot(&slot)) {
            return 0;
        }
        try {
            ownMachine = std::make_unique<WorkerMachine>(*machine->room, slot);
        } catch (...) {
            machine->room->giveBack(slot);
            return 0;
        }
    }
    auto giveUp = [&ownMachine]() VANTREL_REQUIRES(registryGuard) {
        if (ownMachine) {
            ownMachine->release();
        }
        return 0;
    };
    try {
        threads_.reserve();
    } catch (...) {
        return giveUp();
    }
    cell id = threads_.ids.take();
    ScriptMutex* mutex = nullptr;
    std::unique_ptr<S_Thread> thread;
    try {
        mutex = &mutexes_.take(id);
        thread =
            std::make_unique<S_Thread>(*machine, *mutex, id, publicIndex, mode, currentOsThread());
        thread->abandonedIn.reserve(machines_.size());
        if (machine->room == nullptr && self != nullptr && self->creations == nullptr) {
            self->creations = std::make_unique<Creations>();
        }
    } catch (...) {
        // A look at a thread gone since may have taken it meanwhile.
        if (mutex != nullptr) {
            mutexes_.retire(*mutex);
        }
        threads_.ids.release(id);
        return giveUp();
    }
    thread->ownMachine = std::move(ownMachine);
    threads_.add(*thread);
    machine->threads.push_back(*thread);
    if (thread->ownMachine) {
        // Nothing else runs on its machine: it starts at once.
        transition(*thread, ThreadEvent::Start, threads_);
    } else {
        threads_.addStart(*thread, *creationsOf(self, machine));
    }
    ++workers_;
    // Started under the guard, so that the worker reports its end only once
    // the thread is in the table.
    try {
        boost::thread::attributes attributes;
        attributes.set_stack_size(kWorkerStackBytes);
        thread->worker = boost::thread(
            attributes, boost::bind(&S_Manager::runWorker, this, boost::ref(*thread)));
    } catch (...) {
        --workers_;
        threads_.removeStart(*thread);
        machine->threads.erase(ThreadList::s_iterator_to(*thread));
        threads_.releaseId(*thread);
        if (thread->ownMachine) {
            thread->ownMachine->release();
        }
        // The lock path may have found it meanwhile.
        mutexes_.retire(*mutex);
        return 0;
    }
    thread.release();
    return id;
}

bool S_Manager::Destroy(cell id, AMX* amx, S_Thread* self) {
    RegistryLock lock;
    S_Thread* target = threads_.find(id);
    if (target == nullptr) {
        return false;
    }
    if (self != nullptr && self->state() != ThreadState::Running) {
        // Our own destruction has begun. Waiting for another worker now could
        // close a cycle of workers destroying each other; end instead. This
        // also ends a public that destroys itself while another caller does.
        abandon(*self, amx);
        return false;
    }
    if (target == self) {
        // A worker cannot wait for itself: the id is free at once, and the
        // registry frees the thread once its worker has ended.
        transition(*self, ThreadEvent::DestroySelf, threads_);
        abandon(*self, amx);
        return true;
    }
    if (!transition(*target, ThreadEvent::Claim, threads_)) {
        // Another caller, a tick or an unload is stopping it.
        return false;
    }
    // Its creator may be waiting for it to start, or its own public to
    // return, only while it runs.
    changed_.notify_all();
    MachineRecord* caller = callerRecord(amx, self);
    if (target->state() != ThreadState::Freeing) {
        clearStarts(self, caller);
    }
    enter(self, amx);
    // Finishing a destruction that has begun outranks the caller's own: a
    // thread is never left half-destroyed. Only an unload that waits for the
    // caller cuts the wait short: the wait may depend on code of another
    // script that cannot run before that unload is over.
    while (target->state() != ThreadState::Freeing && !unloading(self)) {
        lock.wait(changed_);
    }
    bool destroyed = target->state() == ThreadState::Freeing;
    if (destroyed) {
        free(lock, *target);
    } else {
        // Completed by whoever comes next once its worker has ended.
        transition(*target, ThreadEvent::GiveUp, threads_);
    }
    // Still in the native, and so still in the code of the script that
    // called it, whose unload waits until it leaves. A stop that comes
    // meanwhile ends the public all the same.
    awaitStarts(lock, creationsOf(self, caller), nullptr);
    if (self != nullptr && (self->state() != ThreadState::Running || unloading(self))) {
        abandon(*self, amx);
    }
    leave(self);
    return destroyed;
}

void S_Manager::Reap() {
    bool noticesDue = ScriptRoom::noticesDue();
    if (!noticesDue && threads_.pending.load(std::memory_order_acquire) == 0 &&
        threads_.startsPending.load(std::memory_order_acquire) == 0) {
        return;
    }
    std::vector<std::string> notices;
    {
        RegistryLock lock;
        startsFromTick();
        while (!threads_.ended.empty()) {
            S_Thread& ended = threads_.ended.front();
            transition(ended, ThreadEvent::Claim, threads_);
            free(lock, ended);
        }
        if (!threads_.finished.empty()) {
            S_Thread& finished = threads_.finished.front();
            transition(finished, ThreadEvent::Claim, threads_);
            free(lock, finished);
        }
        if (noticesDue) {
            for (auto& entry : machines_) {
                if (entry.second->room) {
                    std::vector<std::string> due = entry.second->room->takeNotices();
                    notices.insert(notices.end(), due.begin(), due.end());
                }
            }
        }
    }
    writeToLog(notices);
}

// Outside the registry's guard: the host's log may take its time.
void S_Manager::writeToLog(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        host::logprintf("%s", line.c_str());
    }
}

bool S_Manager::BeginSleep(AMX* amx, S_Thread* self) {
    if (self != nullptr && self->state() != ThreadState::Running) {
        return false;
    }
    bool visits = self != nullptr && self->machine.amx != amx && !self->runsOwn(amx);
    if (!visits && threads_.startsPending.load(std::memory_order_acquire) == 0) {
        return true;
    }
    RegistryLock lock;
    clearStarts(self, callerRecord(amx, self));
    enter(self, amx);
    return !unloading(self);
}

bool S_Manager::EndSleep(AMX* amx, S_Thread* self, bool endPublic) {
    bool visits = self != nullptr && self->ownVisit() != nullptr;
    if (!endPublic && !visits && threads_.startsPending.load(std::memory_order_acquire) == 0) {
        return false;
    }
    RegistryLock lock;
    // A stop that comes while the sleep waits for new workers to arrive ends
    // the public all the same.
    awaitStarts(lock, creationsOf(self, callerRecord(amx, self)), nullptr);
    if (self != nullptr &&
        (endPublic || self->state() != ThreadState::Running || unloading(self))) {
        abandon(*self, amx);
        endPublic = true;
    }
    leave(self);
    return endPublic;
}

S_Manager::Machines S_Manager::EndAgain(S_Thread& self, AMX* amx) {
    RegistryLock lock;
    return abandon(self, amx);
}

void S_Manager::runWorker(S_Thread& thread) noexcept {
    if (thread.begin()) {
        while (thread.state() == ThreadState::Running) {
            thread.callPublic(thread.machine.amx);
            if (thread.mode != MODE_LOOP || thread.state() != ThreadState::Running) {
                break;
            }
            if (thread.arriving.load(std::memory_order_acquire) ||
                threads_.startsPending.load(std::memory_order_acquire) != 0) {
                publicReturned(thread);
            }
        }
    }
    RegistryLock lock;
    if (thread.arriving.load(std::memory_order_relaxed)) {
        // Stopped, or unable to tell itself apart, before it pushed anything.
        arrive(thread);
    }
    for (MachineRecord* machine : thread.abandonedIn) {
        if (--machine->abandoning == 0) {
            host::ClearError(machine->amx);
        }
    }
    thread.abandonedIn.clear();
    if (thread.ending.exchange(false, std::memory_order_relaxed)) {
        unsettled_.fetch_sub(1, std::memory_order_release);
    }
    // Its code is done, and the error fields it raised are clear: what it
    // created and has not started may start, with nobody waiting for it.
    releaseStarts(thread);
    if (thread.mode == MODE_ONCE) {
        transition(thread, ThreadEvent::Return, threads_);
    }
    transition(thread, ThreadEvent::Exit, threads_);
    changed_.notify_all();
}

// A looping worker's public has returned, so its code is out of the
// script's way: the threads it created may start, and it calls its public
// again only once they have arrived, or it stops.
void S_Manager::publicReturned(S_Thread& self) {
    RegistryLock lock;
    if (self.arriving.load(std::memory_order_relaxed)) {
        arrive(self);
    }
    clearStarts(&self, &self.machine);
    awaitStarts(lock, self.creations.get(), &self);
}

// The worker's public is to end at a native called in amx: returns the
// machines to raise the error in, the one whose code called the native and
// the one the public runs on, the worker's own or its script's (the public
// may have called into another script). A script's machine is shared by
// every execution in it, so the abandonment is counted there once, for the
// worker to clear its error field when it is the last. The worker is stopped
// if it was not: nothing more of any script may run on it.
S_Manager::Machines S_Manager::abandon(S_Thread& self, AMX* amx) {
    if (self.state() == ThreadState::Running) {
        transition(self, ThreadEvent::Retire, threads_);
    }
    if (!self.ending.exchange(true, std::memory_order_release)) {
        unsettled_.fetch_add(1, std::memory_order_release);
    }
    AMX* publicMachine = self.ownMachine ? self.ownMachine->machine() : self.machine.amx;
    Machines raise{};
    size_t raised = 0;
    for (AMX* machine : {amx, publicMachine}) {
        MachineRecord* shared = record(machine);
        if ((shared == nullptr && !self.runsOwn(machine)) || (raised == 1 && raise[0] == machine)) {
            continue;
        }
        raise[raised++] = machine;
        if (shared != nullptr && std::find(self.abandonedIn.begin(), self.abandonedIn.end(),
                                           shared) == self.abandonedIn.end()) {
            // Within the room kept for every loaded machine: allocates nothing.
            self.abandonedIn.push_back(shared);
            ++shared->abandoning;
        }
    }
    return raise;
}

// A worker in a native called by another script's code: that script's unload
// stops the worker and waits until it has left.
void S_Manager::enter(S_Thread* self, AMX* amx) {
    if (self == nullptr) {
        return;
    }
    MachineRecord* machine = callerRecord(amx, self);
    if (machine != nullptr && machine != &self->machine) {
        self->visiting = machine;
        ++machine->visitors;
    }
}

void S_Manager::leave(S_Thread* self) {
    if (self == nullptr || self->visiting == nullptr) {
        return;
    }
    --self->visiting->visitors;
    self->visiting = nullptr;
    changed_.notify_all();
}

// Whether an unload waits for this worker while it waits in a native: one of
// its own script, or of the script whose code called that native. An unload
// of a script the worker's public was ended in waits for it too, but such a
// worker never waits: every native returns at once for it.
bool S_Manager::unloading(const S_Thread* self) const {
    return self != nullptr &&
           (self->machine.closing || (self->visiting != nullptr && self->visiting->closing));
}

// Joins the worker of a thread in state Freeing, which only its caller holds,
// and frees the thread. The worker has left its public, so the join is short.
void S_Manager::free(RegistryLock& lock, S_Thread& thread) {
    lock.withoutGuard([&thread] { thread.worker.join(); });
    threads_.releaseId(thread);
    mutexes_.retire(thread.mutex);
    thread.machine.threads.erase(ThreadList::s_iterator_to(thread));
    if (thread.ownMachine) {
        thread.ownMachine->release();
    }
    --workers_;
    delete &thread;
    changed_.notify_all();
}

// Stops every thread of the machine (of every machine when only is null),
// gives back the locks it took and returns once all of them are freed.
void S_Manager::close(RegistryLock& lock, const MachineRecord* only) {
    auto closes = [only](const MachineRecord& machine) {
        return only == nullptr || only == &machine;
    };
    closeEpoch_.fetch_add(1, std::memory_order_seq_cst);
    for (auto& entry : machines_) {
        MachineRecord& machine = *entry.second;
        if (closes(machine)) {
            machine.closing = true;
            // The script can never release these any more: waiters elsewhere
            // must go on, and its own workers must not wait on them.
            releaseTakenBy(machine);
        }
    }
    // Every worker the unload waits for stops, and stops waiting: a lock it
    // waits for may be held by main-thread code of another script, which
    // cannot run before this returns.
    for (auto& entry : machines_) {
        for (S_Thread& thread : entry.second->threads) {
            if (unloading(&thread)) {
                transition(thread, ThreadEvent::Retire, threads_);
                if (thread.waitingFor) {
                    thread.waitingFor->wakeWaiters();
                }
            }
        }
    }
    // Waits for another thread's destruction end.
    changed_.notify_all();
    for (;;) {
        S_Thread* ended = nullptr;
        for (S_Thread& thread : threads_.ended) {
            if (closes(thread.machine)) {
                ended = &thread;
                break;
            }
        }
        if (ended != nullptr) {
            transition(*ended, ThreadEvent::Claim, threads_);
            free(lock, *ended);
            continue;
        }
        bool done = true;
        for (auto& entry : machines_) {
            const MachineRecord& machine = *entry.second;
            if (closes(machine) &&
                (!machine.threads.empty() || machine.abandoning != 0 || machine.visitors != 0)) {
                done = false;
            }
        }
        if (done) {
            // Its workers may have taken locks without the guard as it began
            // closing; they have stopped now.
            // And out of the index before the epoch says that no close runs:
            // a later look that finds no script goes the guarded way.
            for (auto& entry : machines_) {
                if (closes(*entry.second)) {
                    releaseTakenBy(*entry.second);
                    scripts_.remove(entry.second->slot);
                }
            }
            closeEpoch_.fetch_add(1, std::memory_order_seq_cst);
            return;
        }
        lock.wait(changed_);
    }
}

void S_Manager::releaseTakenBy(const MachineRecord& machine) {
    locks_.takeAllOf(machine.slot, [this](ScriptMutex& mutex) VANTREL_REQUIRES(registryGuard) {
        mutexes_.releaseGuarded(mutex);
    });
}

MachineRecord* S_Manager::callerRecord(AMX* amx, const S_Thread* self) {
    return self != nullptr && self->runsOwn(amx) ? &self->machine : record(amx);
}

MachineRecord* S_Manager::record(AMX* amx) {
    auto entry = machines_.find(amx);
    return entry == machines_.end() ? nullptr : entry->second.get();
}
