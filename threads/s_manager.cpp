#include "threads/s_manager.h"

#include <algorithm>
#include <utility>

#include <boost/thread/locks.hpp>

#include "plugin/host.h"

namespace {
using Guard = boost::unique_lock<boost::mutex>;
}

S_Manager::~S_Manager() {
    StopMachine(nullptr);
}

cell S_Manager::Create(const char* publicName, AMX* machine, cell mode) {
    int index = 0;
    if (host::FindPublic(machine, publicName, &index) != AMX_ERR_NONE) {
        return 0;
    }
    Guard lock(guard_);
    if (machineClosing(machine)) {
        return 0;
    }
    cell id = threadIds_.take();
    try {
        Owned thread(new S_Thread(id, machine, index, mode, nextSerial_++));
        S_Thread& started = *thread;
        auto entry = threads_.emplace(id, std::move(thread)).first;
        // Started under the guard, so a single-shot worker can queue its id only
        // once the id is in the table.
        try {
            started.start();
        } catch (...) {
            threads_.erase(entry);
            throw;
        }
    } catch (...) {
        threadIds_.release(id);
        return 0;
    }
    return id;
}

cell S_Manager::Destroy(cell id) {
    S_Thread* self = S_Thread::current();
    S_Thread* target;
    bool interrupt;
    {
        Guard lock(guard_);
        auto entry = threads_.find(id);
        if (entry == threads_.end()) {
            return 0;
        }
        if (self != nullptr && self->claimed) {
            // Our own destruction has begun. Waiting for another worker now could
            // close a cycle of workers destroying each other; end instead. This
            // also ends a public that destroys itself while another caller does.
            lock.unlock();
            S_Thread::abandonPublic(self->machine);
            return 0;
        }
        if (entry->second->claimed) {
            return 0;
        }
        target = entry->second.get();
        if (target == self) {
            // A worker cannot join itself: the id is freed now and the object
            // once its worker has ended.
            claim(*target);
            retired_.push_back(std::move(entry->second));
            threads_.erase(entry);
            threadIds_.release(id);
            updatePending();
            lock.unlock();
            erased_.notify_all();
            S_Thread::abandonPublic(self->machine);
            return 1;
        }
        interrupt = claim(*target);
    }
    if (interrupt) {
        target->worker.interrupt();
    }
    awaitAndFree(target);
    if (self != nullptr) {
        Guard lock(guard_);
        if (self->claimed) {
            lock.unlock();
            S_Thread::abandonPublic(self->machine);
        }
    }
    return 1;
}

void S_Manager::Reap() {
    if (pending_.load(std::memory_order_acquire) == 0) {
        return;
    }
    std::vector<Owned> ended;
    S_Thread* finished = nullptr;
    {
        Guard lock(guard_);
        for (auto it = retired_.begin(); it != retired_.end();) {
            if ((*it)->ended.load(std::memory_order_acquire)) {
                ended.push_back(std::move(*it));
                it = retired_.erase(it);
            } else {
                ++it;
            }
        }
        if (!finished_.empty()) {
            Finished front = finished_.front();
            finished_.pop_front();
            // The id may since have been destroyed and handed to a newer thread;
            // only the thread that queued itself is reaped.
            auto entry = threads_.find(front.id);
            if (entry != threads_.end() && entry->second->serial == front.serial &&
                !entry->second->claimed) {
                finished = entry->second.get();
                claim(*finished);
            }
        }
        updatePending();
    }
    for (Owned& thread : ended) {
        thread->worker.join();
    }
    if (finished != nullptr) {
        awaitAndFree(finished);
    }
}

void S_Manager::StopMachine(AMX* machine) {
    auto matches = [machine](const S_Thread& thread) {
        return machine == nullptr || thread.machine == machine;
    };
    Guard lock(guard_);
    closing_.push_back(machine);
    for (;;) {
        std::vector<std::pair<S_Thread*, bool>> claimed;
        std::vector<Owned> retired;
        bool othersDestroying = false;
        for (auto& entry : threads_) {
            S_Thread& thread = *entry.second;
            if (!matches(thread)) {
                continue;
            }
            // A worker waiting for a script lock stops waiting: the lock may be
            // held by main-thread code of another script, which cannot run
            // before this returns.
            thread.unloading = true;
            if (thread.waitingFor) {
                thread.waitingFor->wakeWaiters();
            }
            if (thread.claimed) {
                othersDestroying = true;
            } else {
                claimed.emplace_back(&thread, claim(thread));
            }
        }
        for (auto it = retired_.begin(); it != retired_.end();) {
            if (matches(**it)) {
                retired.push_back(std::move(*it));
                it = retired_.erase(it);
            } else {
                ++it;
            }
        }
        updatePending();
        // The script can never release these any more; workers waiting for them
        // elsewhere must go on, and our own workers must not wait on them.
        if (machine == nullptr) {
            locks_.releaseAll();
        } else {
            locks_.releaseTakenBy(machine);
        }
        if (claimed.empty() && retired.empty()) {
            if (!othersDestroying) {
                break;
            }
            erased_.wait(lock);
            continue;
        }
        lock.unlock();
        for (auto& entry : claimed) {
            if (entry.second) {
                entry.first->worker.interrupt();
            }
        }
        for (Owned& thread : retired) {
            thread->worker.join();
        }
        for (auto& entry : claimed) {
            awaitAndFree(entry.first);
        }
        lock.lock();
    }
    closing_.erase(std::find(closing_.begin(), closing_.end(), machine));
}

cell S_Manager::Lock(cell threadId, AMX* machine) {
    S_Thread* self = S_Thread::current();
    Guard lock(guard_);
    auto entry = threads_.find(threadId);
    if (entry == threads_.end()) {
        return 0;
    }
    if (self != nullptr && self->claimed) {
        lock.unlock();
        S_Thread::abandonPublic(machine);
        return 0;
    }
    const std::shared_ptr<ScriptMutex>& threadMutex = entry->second->mutex;
    if (threadMutex->try_lock()) {
        return record(threadMutex, machine);
    }
    // The wait gives the guard up, and the thread may go meanwhile.
    std::shared_ptr<ScriptMutex> mutex = threadMutex;
    if (self != nullptr) {
        self->waitingFor = mutex;
    }
    static const std::atomic<bool> never{false};
    bool taken = mutex->lock(lock, self != nullptr ? self->unloading : never);
    if (self != nullptr) {
        self->waitingFor.reset();
    }
    if (self != nullptr && self->claimed) {
        // Destroyed while waiting: a lock taken now could never be released by
        // the script, so give it straight back.
        if (taken) {
            mutex->unlock();
        }
        lock.unlock();
        S_Thread::abandonPublic(machine);
        return 0;
    }
    return record(mutex, machine);
}

cell S_Manager::Unlock(cell lockId) {
    Guard lock(guard_);
    return locks_.release(lockId) ? 1 : 0;
}

void S_Manager::Finish(S_Thread* thread) {
    Guard lock(guard_);
    if (thread->stopped.exchange(true)) {
        return;  // a destroyer has taken the thread over and frees it itself
    }
    finished_.push_back(Finished{thread->id, thread->serial});
    updatePending();
}

bool S_Manager::claim(S_Thread& thread) {
    thread.claimed = true;
    return !thread.stopped.exchange(true);
}

void S_Manager::awaitAndFree(S_Thread* thread) {
    {
        // Finishing a destruction that has begun outranks the caller's own
        // interruption: a thread is never left half-destroyed.
        boost::this_thread::disable_interruption uninterruptible;
        thread->worker.join();
    }
    Owned owned;
    {
        Guard lock(guard_);
        auto entry = threads_.find(thread->id);
        owned = std::move(entry->second);
        threads_.erase(entry);
        threadIds_.release(thread->id);
    }
    erased_.notify_all();
}

cell S_Manager::record(const std::shared_ptr<ScriptMutex>& mutex, AMX* machine) {
    try {
        return locks_.add(mutex, machine);
    } catch (...) {
        mutex->unlock();
        throw;
    }
}

bool S_Manager::machineClosing(AMX* machine) const {
    for (AMX* closing : closing_) {
        if (closing == nullptr || closing == machine) {
            return true;
        }
    }
    return false;
}

void S_Manager::updatePending() {
    pending_.store(finished_.size() + retired_.size(), std::memory_order_release);
}
