#include "threads/s_manager.h"

#include <algorithm>
#include <utility>

#include <boost/thread/thread.hpp>

#include "threads/wait.h"

S_Manager::~S_Manager() {
    Guard guard(guard_);
    close(guard, nullptr);
    machines_.clear();
}

void S_Manager::AddMachine(AMX* amx) {
    auto record = std::make_unique<MachineRecord>(amx);
    Guard guard(guard_);
    // Any worker may run into the new script's code and be abandoned there.
    for (auto& entry : machines_) {
        for (S_Thread& thread : entry.second->threads) {
            thread.abandonedIn.reserve(machines_.size() + 1);
        }
    }
    machines_.emplace(amx, std::move(record));
}

void S_Manager::RemoveMachine(AMX* amx) {
    Guard guard(guard_);
    MachineRecord* machine = record(amx);
    if (machine == nullptr) {
        return;
    }
    close(guard, machine);
    machines_.erase(amx);
}

cell S_Manager::Create(AMX* amx, int publicIndex, ThreadMode mode) {
    Guard guard(guard_);
    MachineRecord* machine = record(amx);
    if (machine == nullptr || machine->closing || workers_ >= kMaxWorkers) {
        return 0;
    }
    try {
        threadIds_.reserve();
    } catch (...) {
        return 0;
    }
    cell id = threadIds_.take();
    std::unique_ptr<S_Thread> thread;
    std::map<cell, S_Thread*>::iterator entry;
    try {
        ThreadOwner& owner = *this;
        thread = std::make_unique<S_Thread>(owner, *machine, id, publicIndex, mode);
        thread->abandonedIn.reserve(machines_.size());
        entry = threads_.emplace(id, thread.get()).first;
    } catch (...) {
        threadIds_.release(id);
        return 0;
    }
    machine->threads.push_back(*thread);
    ++workers_;
    // Started under the guard, so that the worker reports its end only once
    // the thread is in the table.
    try {
        thread->start();
    } catch (...) {
        --workers_;
        machine->threads.erase(ThreadList::s_iterator_to(*thread));
        threads_.erase(entry);
        threadIds_.release(id);
        return 0;
    }
    thread.release();
    return id;
}

S_Manager::Destroyed S_Manager::Destroy(cell id, AMX* amx) {
    S_Thread* self = S_Thread::current();
    Guard guard(guard_);
    auto entry = threads_.find(id);
    if (entry == threads_.end()) {
        return {false, {}};
    }
    if (self != nullptr && self->state() != ThreadState::Running) {
        // Our own destruction has begun. Waiting for another worker now could
        // close a cycle of workers destroying each other; end instead. This
        // also ends a public that destroys itself while another caller does.
        return {false, abandon(*self, amx)};
    }
    S_Thread& target = *entry->second;
    if (&target == self) {
        // A worker cannot wait for itself: the id is free at once, and the
        // registry frees the thread once its worker has ended.
        stop(target, false);
        threads_.erase(entry);
        threadIds_.release(id);
        return {true, abandon(*self, amx)};
    }
    if (!stop(target, true)) {
        return {false, {}};
    }
    enter(self, amx);
    // Finishing a destruction that has begun outranks the caller's own: a
    // thread is never left half-destroyed. Only an unload of the caller's
    // script, or of the script whose code called this, cuts the wait short:
    // the wait may depend on code of another script that cannot run before
    // that unload is over.
    while (target.state() != ThreadState::Freeing && !unloading(self)) {
        waitOn(changed_, guard);
    }
    bool destroyed = target.state() == ThreadState::Freeing;
    if (destroyed) {
        free(guard, target);
    } else {
        // Completed by whoever comes next once its worker has ended.
        target.setState(ThreadState::Retired);
    }
    Destroyed result{destroyed, {}};
    if (self != nullptr && (self->state() != ThreadState::Running || unloading(self))) {
        result.endPublicIn = abandon(*self, amx);
    }
    leave(self);
    return result;
}

void S_Manager::Reap() {
    if (pending_.load(std::memory_order_acquire) == 0) {
        return;
    }
    Guard guard(guard_);
    while (!ended_.empty()) {
        S_Thread& ended = ended_.front();
        stop(ended, true);
        free(guard, ended);
    }
    if (!finished_.empty()) {
        S_Thread& finished = finished_.front();
        stop(finished, true);
        free(guard, finished);
    }
}

S_Manager::Locked S_Manager::Lock(cell threadId, AMX* amx) {
    S_Thread* self = S_Thread::current();
    Guard guard(guard_);
    auto entry = threads_.find(threadId);
    if (entry == threads_.end()) {
        return {0, {}};
    }
    MachineRecord* taker =
        self != nullptr && self->machine.amx == amx ? &self->machine : record(amx);
    if (self != nullptr && (self->machine.closing || (taker != nullptr && taker->closing))) {
        // The script is going: a lock taken now could never be released.
        return {0, abandon(*self, amx)};
    }
    if (taker == nullptr || taker->closing) {
        return {0, {}};
    }
    try {
        locks_.reserve();
    } catch (...) {
        return {0, {}};
    }
    const std::shared_ptr<ScriptMutex>& threadMutex = entry->second->mutex;
    if (threadMutex->try_lock()) {
        return {locks_.add(threadMutex, *taker), {}};
    }
    // The wait gives the guard up, and the thread may go meanwhile. The
    // taker's record stays: it is the caller's own script's, or one whose
    // unload waits for the caller to leave its native.
    std::shared_ptr<ScriptMutex> mutex = threadMutex;
    enter(self, amx);
    if (self != nullptr) {
        self->waitingFor = mutex;
    }
    bool taken = mutex->lock(guard, [&] { return unloading(self); });
    if (self != nullptr) {
        self->waitingFor.reset();
    }
    Locked result{0, {}};
    if (taken && !unloading(self)) {
        result.lockId = locks_.add(mutex, *taker);
    } else {
        if (taken) {
            mutex->unlock();
        }
        locks_.cancel();
        if (self != nullptr) {
            result.endPublicIn = abandon(*self, amx);
        }
    }
    leave(self);
    return result;
}

bool S_Manager::Unlock(cell lockId) {
    Guard guard(guard_);
    return locks_.release(lockId);
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
    Guard guard(guard_);
    enter(self, amx);
    return !unloading(self);
}

S_Manager::Machines S_Manager::LeaveNative(AMX* amx, bool endPublic) {
    S_Thread* self = S_Thread::current();
    // Only the worker itself sets its own visit.
    if (self == nullptr || (!endPublic && self->visiting == nullptr)) {
        return {};
    }
    Guard guard(guard_);
    Machines raise{};
    if (endPublic) {
        raise = abandon(*self, amx);
    }
    leave(self);
    return raise;
}

// The worker's public is to end at a native called in amx: counts the
// abandonment in that machine and in the worker's own (the public may have
// called into another script), and returns those to raise the error in. The
// worker is stopped if it was not: nothing more of any script may run on it.
S_Manager::Machines S_Manager::abandon(S_Thread& self, AMX* amx) {
    if (self.state() == ThreadState::Running) {
        stop(self, false);
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

void S_Manager::workerEnded(S_Thread& thread, ClearError clearError) noexcept {
    Guard guard(guard_);
    for (MachineRecord* machine : thread.abandonedIn) {
        if (--machine->abandoning == 0) {
            clearError(machine->amx);
        }
    }
    thread.abandonedIn.clear();
    switch (thread.state()) {
        case ThreadState::Running:
            if (thread.mode == MODE_ONCE) {
                thread.setState(ThreadState::Finished);
                finished_.push_back(thread);
                break;
            }
            // A looping worker ends while running only when it could not tell
            // itself apart from other threads and so ran nothing.
            releaseId(thread);
            thread.setState(ThreadState::Ended);
            ended_.push_back(thread);
            break;
        case ThreadState::Claimed:
            thread.setState(ThreadState::Freeing);
            break;
        case ThreadState::Retired:
            releaseId(thread);
            thread.setState(ThreadState::Ended);
            ended_.push_back(thread);
            break;
        default:
            break;
    }
    updatePending();
    changed_.notify_all();
}

// The one way a thread is stopped, by DestroyThread, by its own public, by a
// tick and by unloading. It hands the thread to whoever will free it: the
// caller, who then waits until the state is Freeing, or else the registry,
// once the worker has ended. Returns false when that is settled already.
bool S_Manager::stop(S_Thread& thread, bool freedByCaller) {
    switch (thread.state()) {
        case ThreadState::Running:
            thread.setState(freedByCaller ? ThreadState::Claimed : ThreadState::Retired);
            thread.wake();
            return true;
        case ThreadState::Finished:
            finished_.erase(ThreadQueue::s_iterator_to(thread));
            if (freedByCaller) {
                thread.setState(ThreadState::Freeing);
            } else {
                thread.setState(ThreadState::Ended);
                ended_.push_back(thread);
            }
            updatePending();
            return true;
        case ThreadState::Ended:
            if (!freedByCaller) {
                return false;
            }
            ended_.erase(ThreadQueue::s_iterator_to(thread));
            thread.setState(ThreadState::Freeing);
            updatePending();
            return true;
        default:
            return false;
    }
}

// Joins the worker of a thread in state Freeing, which only its caller holds,
// and frees the thread. The worker has left its public, so the join is short.
void S_Manager::free(Guard& guard, S_Thread& thread) {
    guard.unlock();
    thread.worker.join();
    guard.lock();
    releaseId(thread);
    thread.machine.threads.erase(ThreadList::s_iterator_to(thread));
    --workers_;
    delete &thread;
    changed_.notify_all();
}

// Stops every thread of the machine (of every machine when only is null),
// gives back the locks it took and returns once all of them are freed.
void S_Manager::close(Guard& guard, const MachineRecord* only) {
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
        locks_.releaseTakenBy(machine);
        for (S_Thread& thread : machine.threads) {
            stop(thread, false);
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
                stop(thread, false);
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
        for (S_Thread& thread : ended_) {
            if (closes(thread.machine)) {
                ended = &thread;
                break;
            }
        }
        if (ended != nullptr) {
            stop(*ended, true);
            free(guard, *ended);
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
        waitOn(changed_, guard);
    }
}

MachineRecord* S_Manager::record(AMX* amx) {
    auto entry = machines_.find(amx);
    return entry == machines_.end() ? nullptr : entry->second.get();
}

// A thread stopped by anything but its own public keeps its id until its
// worker has ended, so that no newer thread gets the id while that public may
// still use it.
void S_Manager::releaseId(S_Thread& thread) {
    auto entry = threads_.find(thread.id);
    if (entry != threads_.end() && entry->second == &thread) {
        threads_.erase(entry);
        threadIds_.release(thread.id);
    }
}

void S_Manager::updatePending() {
    pending_.store(finished_.size() + ended_.size(), std::memory_order_release);
}
