#include "threads/s_manager.h"

#include <algorithm>
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
    // Any worker may run into the new script's code and be abandoned there.
    for (auto& entry : machines_) {
        for (S_Thread& thread : entry.second->threads) {
            thread.abandonedIn.reserve(machines_.size() + 1);
        }
    }
    machines_.emplace(amx, std::move(record));
}

void S_Manager::RemoveMachine(AMX* amx) {
    RegistryLock lock;
    MachineRecord* machine = record(amx);
    if (machine == nullptr) {
        return;
    }
    close(lock, machine);
    machines_.erase(amx);
}

cell S_Manager::Create(AMX* amx, int publicIndex, ThreadMode mode) {
    RegistryLock lock;
    MachineRecord* machine = record(amx);
    if (machine == nullptr || machine->closing || workers_ >= kMaxWorkers) {
        return 0;
    }
    try {
        threads_.reserve();
    } catch (...) {
        return 0;
    }
    cell id = threads_.ids.take();
    std::unique_ptr<S_Thread> thread;
    try {
        thread = std::make_unique<S_Thread>(*machine, id, publicIndex, mode);
        thread->abandonedIn.reserve(machines_.size());
    } catch (...) {
        threads_.ids.release(id);
        return 0;
    }
    threads_.byId[id - 1] = thread.get();
    machine->threads.push_back(*thread);
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
        machine->threads.erase(ThreadList::s_iterator_to(*thread));
        threads_.releaseId(*thread);
        return 0;
    }
    thread.release();
    return id;
}

S_Manager::Destroyed S_Manager::Destroy(cell id, AMX* amx) {
    S_Thread* self = S_Thread::current();
    RegistryLock lock;
    S_Thread* target = threads_.find(id);
    if (target == nullptr) {
        return {false, {}};
    }
    if (self != nullptr && self->state() != ThreadState::Running) {
        // Our own destruction has begun. Waiting for another worker now could
        // close a cycle of workers destroying each other; end instead. This
        // also ends a public that destroys itself while another caller does.
        return {false, abandon(*self, amx)};
    }
    if (target == self) {
        // A worker cannot wait for itself: the id is free at once, and the
        // registry frees the thread once its worker has ended.
        transition(*self, ThreadEvent::DestroySelf, threads_);
        return {true, abandon(*self, amx)};
    }
    if (!transition(*target, ThreadEvent::Claim, threads_)) {
        // Another caller, a tick or an unload is stopping it.
        return {false, {}};
    }
    enter(self, amx);
    // Finishing a destruction that has begun outranks the caller's own: a
    // thread is never left half-destroyed. Only an unload of the caller's
    // script, or of the script whose code called this, cuts the wait short:
    // the wait may depend on code of another script that cannot run before
    // that unload is over.
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
    Destroyed result{destroyed, {}};
    if (self != nullptr && (self->state() != ThreadState::Running || unloading(self))) {
        result.endPublicIn = abandon(*self, amx);
    }
    leave(self);
    return result;
}

void S_Manager::Reap() {
    if (threads_.pending.load(std::memory_order_acquire) == 0) {
        return;
    }
    RegistryLock lock;
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
}

bool S_Manager::EnterNative(AMX* amx) {
    S_Thread* self = S_Thread::current();
    if (self == nullptr) {
        return true;
    }
    if (self->state() != ThreadState::Running) {
        return false;
    }
    if (self->machine.amx == amx) {
        return true;
    }
    RegistryLock lock;
    enter(self, amx);
    return !unloading(self);
}

S_Manager::Machines S_Manager::LeaveNative(AMX* amx, bool endPublic) {
    S_Thread* self = S_Thread::current();
    if (self == nullptr || (!endPublic && self->ownVisit() == nullptr)) {
        return {};
    }
    RegistryLock lock;
    Machines raise{};
    if (endPublic) {
        raise = abandon(*self, amx);
    }
    leave(self);
    return raise;
}

void S_Manager::runWorker(S_Thread& thread) noexcept {
    thread.runPublic(thread.machine.amx);
    RegistryLock lock;
    for (MachineRecord* machine : thread.abandonedIn) {
        if (--machine->abandoning == 0) {
            host::ClearError(machine->amx);
        }
    }
    thread.abandonedIn.clear();
    if (thread.mode == MODE_ONCE) {
        transition(thread, ThreadEvent::Return, threads_);
    }
    transition(thread, ThreadEvent::Exit, threads_);
    changed_.notify_all();
}

// The worker's public is to end at a native called in amx: counts the
// abandonment in that machine and in the worker's own (the public may have
// called into another script), and returns those to raise the error in. The
// worker is stopped if it was not: nothing more of any script may run on it.
S_Manager::Machines S_Manager::abandon(S_Thread& self, AMX* amx) {
    if (self.state() == ThreadState::Running) {
        transition(self, ThreadEvent::Retire, threads_);
    }
    Machines raise{};
    size_t raised = 0;
    for (MachineRecord* machine : {record(amx), &self.machine}) {
        if (machine == nullptr || std::find(self.abandonedIn.begin(), self.abandonedIn.end(),
                                            machine) != self.abandonedIn.end()) {
            continue;
        }
        // Within the room kept for every loaded machine: allocates nothing.
        self.abandonedIn.push_back(machine);
        ++machine->abandoning;
        raise[raised++] = machine->amx;
    }
    return raise;
}

// A worker in a native called by another script's code: that script's unload
// stops the worker and waits until it has left.
void S_Manager::enter(S_Thread* self, AMX* amx) {
    if (self == nullptr || self->machine.amx == amx) {
        return;
    }
    MachineRecord* machine = record(amx);
    if (machine != nullptr) {
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

bool S_Manager::unloading(const S_Thread* self) const {
    return self != nullptr &&
           (self->machine.closing || (self->visiting != nullptr && self->visiting->closing));
}

// Joins the worker of a thread in state Freeing, which only its caller holds,
// and frees the thread. The worker has left its public, so the join is short.
void S_Manager::free(RegistryLock& lock, S_Thread& thread) {
    lock.withoutGuard([&thread] { thread.worker.join(); });
    threads_.releaseId(thread);
    thread.machine.threads.erase(ThreadList::s_iterator_to(thread));
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
    for (auto& entry : machines_) {
        MachineRecord& machine = *entry.second;
        if (!closes(machine)) {
            continue;
        }
        machine.closing = true;
        // The script can never release these any more: waiters elsewhere must
        // go on, and its own workers must not wait on them.
        locks_.releaseTakenBy(machine.locks);
        for (S_Thread& thread : machine.threads) {
            transition(thread, ThreadEvent::Retire, threads_);
            // A worker waiting for a script lock stops waiting: the lock may
            // be held by main-thread code of another script, which cannot run
            // before this returns.
            if (thread.waitingFor) {
                thread.waitingFor->wakeWaiters();
            }
        }
    }
    // So do workers of other scripts blocked in a native its code called:
    // they must leave the machine before it goes.
    for (auto& entry : machines_) {
        for (S_Thread& thread : entry.second->threads) {
            if (thread.visiting != nullptr && thread.visiting->closing) {
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
            return;
        }
        lock.wait(changed_);
    }
}

MachineRecord* S_Manager::record(AMX* amx) {
    auto entry = machines_.find(amx);
    return entry == machines_.end() ? nullptr : entry->second.get();
}
