#include "locks/thread_lock.h"

cell LockTable::add(const std::shared_ptr<ScriptMutex>& mutex, AMX* machine) {
    cell id = ids_.take();
    ScriptMutex& held = *mutex;
    if (!spare_.empty()) {
        spare_.key() = id;
        ThreadLock& lock = spare_.mapped();
        if (lock.mutex != mutex) {
            lock.mutex = mutex;
        }
        lock.hold = boost::unique_lock<ScriptMutex>(held, boost::adopt_lock);
        lock.machine = machine;
        locks_.insert(locks_.end(), std::move(spare_));
        return id;
    }
    try {
        locks_.emplace_hint(
            locks_.end(), id,
            ThreadLock{mutex, boost::unique_lock<ScriptMutex>(held, boost::adopt_lock), machine});
    } catch (...) {
        ids_.release(id);
        throw;
    }
    return id;
}

// Scripts mostly release the lock they took last, which has the largest id
// unless a smaller one was free: that entry is at hand without a walk down a
// tree of thousands of held locks.
LockTable::Table::iterator LockTable::find(cell lockId) {
    if (!locks_.empty()) {
        auto last = std::prev(locks_.end());
        if (last->first == lockId) {
            return last;
        }
    }
    return locks_.find(lockId);
}

bool LockTable::release(cell lockId) {
    auto it = find(lockId);
    if (it == locks_.end()) {
        return false;
    }
    it->second.hold.unlock();
    spare_ = locks_.extract(it);
    ids_.release(lockId);
    return true;
}

void LockTable::releaseTakenBy(AMX* machine) {
    for (auto it = locks_.begin(); it != locks_.end();) {
        if (it->second.machine == machine) {
            ids_.release(it->first);
            it = locks_.erase(it);
        } else {
            ++it;
        }
    }
}

void LockTable::releaseAll() {
    for (auto& entry : locks_) {
        ids_.release(entry.first);
    }
    locks_.clear();
}
