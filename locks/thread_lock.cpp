#include "locks/thread_lock.h"

#include <tuple>
#include <utility>

#include "threads/machine_record.h"

LockTable::Room LockTable::reserve() {
    ids_.reserve();
    Room room;
    if (!spare_.empty()) {
        room.node_ = std::move(spare_);
        return room;
    }
    try {
        Table scratch;
        scratch.emplace(std::piecewise_construct, std::forward_as_tuple(0),
                        std::forward_as_tuple());
        room.node_ = scratch.extract(scratch.begin());
    } catch (...) {
        ids_.cancel();
        throw;
    }
    return room;
}

void LockTable::cancel(Room room) noexcept {
    ids_.cancel();
    if (spare_.empty()) {
        spare_ = std::move(room.node_);
    }
}

cell LockTable::add(Room room, const std::shared_ptr<ScriptMutex>& mutex,
                    MachineRecord& taker) noexcept {
    cell id = ids_.take();
    room.node_.key() = id;
    ThreadLock& lock = room.node_.mapped();
    if (lock.mutex != mutex) {
        lock.mutex = mutex;
    }
    lock.hold = boost::unique_lock<ScriptMutex>(*mutex, boost::adopt_lock);
    lock.id = id;
    lock.taker = &taker;
    // The node keeps its place in memory when it enters the table.
    taker.locks.push_back(lock);
    locks_.insert(locks_.end(), std::move(room.node_));
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

bool LockTable::release(cell lockId) noexcept {
    auto lock = find(lockId);
    if (lock == locks_.end()) {
        return false;
    }
    drop(lock);
    return true;
}

void LockTable::releaseTakenBy(MachineRecord& taker) noexcept {
    while (!taker.locks.empty()) {
        drop(locks_.find(taker.locks.front().id));
    }
}

void LockTable::drop(Table::iterator entry) noexcept {
    ThreadLock& lock = entry->second;
    lock.hold.unlock();
    lock.taker->locks.erase(LockList::s_iterator_to(lock));
    lock.taker = nullptr;
    ids_.release(entry->first);
    spare_ = locks_.extract(entry);
}
