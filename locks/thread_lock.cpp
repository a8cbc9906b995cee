#include "locks/thread_lock.h"

void LockTable::addEntry() {
    auto entry = std::make_unique<ThreadLock>();
    entries_.push_back(std::move(entry));
}

cell LockTable::add(const std::shared_ptr<ScriptMutex>& mutex, TakenLocks& taker) noexcept {
    cell id = ids_.take();
    ThreadLock& lock = *entries_[id - 1];
    if (lock.mutex != mutex) {
        lock.mutex = mutex;
    }
    lock.hold = boost::unique_lock<ScriptMutex>(*mutex, boost::adopt_lock);
    lock.id = id;
    lock.taker = &taker;
    taker.locks.push_back(lock);
    return id;
}

bool LockTable::release(cell lockId) noexcept {
    if (lockId < 1 || static_cast<size_t>(lockId) > entries_.size()) {
        return false;
    }
    ThreadLock& lock = *entries_[lockId - 1];
    if (lock.taker == nullptr) {
        return false;
    }
    drop(lock);
    return true;
}

void LockTable::releaseTakenBy(TakenLocks& taker) noexcept {
    while (!taker.locks.empty()) {
        drop(taker.locks.front());
    }
}

void LockTable::drop(ThreadLock& lock) noexcept {
    lock.hold.unlock();
    lock.taker->locks.erase(lock.taker->locks.iterator_to(lock));
    lock.taker = nullptr;
    ids_.release(lock.id);
}
