#include "threads/s_manager.h"

#include <utility>

#include <boost/thread/thread.hpp>

S_Manager::~S_Manager() {
    Guard guard(guard_);
    close(guard, nullptr);
    machines_.clear();
}

void S_Manager::AddMachine(AMX* amx) {
    auto record = std::make_unique<MachineRecord>(amx);
    Guard guard(guard_);
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

S_Manager::Destroyed S_Manager::Destroy(cell id) {
    S_Thread* self = S_Thread::current();
    Guard guard(guard_);
    auto entry = threads_.find(id);
    if (entry == threads_.end()) {
        return {false, false};
    }
    if (self != nullptr && self->state() != ThreadState::Running) {
        // Our own destruction has begun. Waiting for another worker now could
        // close a cycle of workers destroying each other; end instead. This
        // also ends a public that destroys itself while another caller does.
        return {false, true};
    }
    S_Thread& target = *entry->second;
    if (&target == self) {
        // A worker cannot wait for itself: the id is free at once, and the
        // registry frees the thread once its worker has ended.
        stop(target, false);
        threads_.erase(entry);
        threadIds_.release(id);
        return {true, true};
    }
    if (!stop(target, true)) {
        return {false, false};
    }
    {
        // Finishing a destruction that has begun outranks the caller's own:
        // a thread is never left half-destroyed. Only the caller's script
        // unloading cuts the wait short, since the wait may depend on code of
        // another script that cannot run before that unload is over.
        boost::this_thread::disable_interruption uninterruptible;
        changed_.wait(guard, [&] {
            return target.state() == ThreadState::Freeing ||
                   (self != nullptr && self->machine.closing);
        });
    }
    if (target.state() != ThreadState::Freeing) {
        // Completed by whoever comes next once its worker has ended.
        target.setState(ThreadState::Retired);
        return {false, true};
    }
    free(guard, target);
    return {true, self != nullptr && self->state() != ThreadState::Running};
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
    auto closing = [self] { return self != nullptr && self->machine.closing; };
    Guard guard(guard_);
    auto entry = threads_.find(threadId);
    if (entry == threads_.end()) {
        return {0, false};
    }
    if (closing()) {
        // The script is going: a lock taken now could never be released.
        return {0, true};
    }
    MachineRecord* taker =
        self != nullptr && self->machine.amx == amx ? &self->machine : record(amx);
    if (taker == nullptr || taker->closing) {
        return {0, false};
    }
    try {
        locks_.reserve();
    } catch (...) {
        return {0, false};
    }
    const std::shared_ptr<ScriptMutex>& threadMutex = entry->second->mutex;
    if (threadMutex->try_lock()) {
        return {locks_.add(threadMutex, *taker), false};
    }
    // The wait gives the guard up: the thread, and the taker's record, may go
    // meanwhile.
    std::shared_ptr<ScriptMutex> mutex = threadMutex;
    if (self != nullptr) {
        self->waitingFor = mutex;
    }
    bool taken = mutex->lock(guard, closing);
    if (self != nullptr) {
        self->waitingFor.reset();
    }
    taker = record(amx);
    if (!taken || closing() || taker == nullptr || taker->closing) {
        if (taken) {
            mutex->unlock();
        }
        locks_.cancel();
        return {0, closing()};
    }
    return {locks_.add(mutex, *taker), false};
}

bool S_Manager::Unlock(cell lockId) {
    Guard guard(guard_);
    return locks_.release(lockId);
}

S_Manager::Machines S_Manager::Abandon(AMX* amx) {
    Machines raise{};
    S_Thread* self = S_Thread::current();
    if (self == nullptr) {
        return raise;
    }
    Guard guard(guard_);
    size_t raised = 0;
    MachineRecord** slots = self->abandonedIn;
    for (MachineRecord* machine : {record(amx), &self->machine}) {
        if (machine == nullptr || machine == slots[0] || machine == slots[1]) {
            continue;
        }
        MachineRecord*& slot = slots[0] == nullptr ? slots[0] : slots[1];
        if (slot == nullptr) {
            slot = machine;
            ++machine->abandoning;
            raise[raised++] = machine->amx;
        }
    }
    return raise;
}

void S_Manager::workerEnded(S_Thread& thread, ClearError clearError) noexcept {
    Guard guard(guard_);
    for (MachineRecord*& machine : thread.abandonedIn) {
        if (machine != nullptr && --machine->abandoning == 0) {
            clearError(machine->amx);
        }
        machine = nullptr;
    }
    switch (thread.state()) {
        case ThreadState::Running:
            // Only a single-shot worker ends while running: its public returned.
            thread.setState(ThreadState::Finished);
            finished_.push_back(thread);
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
            thread.worker.interrupt();
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
    {
        boost::this_thread::disable_interruption uninterruptible;
        guard.unlock();
        thread.worker.join();
        guard.lock();
    }
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
    // Its workers waiting for another thread's destruction stop waiting.
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
            if (closes(machine) && (!machine.threads.empty() || machine.abandoning != 0)) {
                done = false;
            }
        }
        if (done) {
            return;
        }
        changed_.wait(guard);
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
