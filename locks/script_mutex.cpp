#include "locks/script_mutex.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/thread.hpp>

bool ScriptMutex::try_lock() {
    boost::lock_guard<boost::mutex> lock(guard_);
    if (held_) {
        return false;
    }
    held_ = true;
    return true;
}

bool ScriptMutex::lock(const std::atomic<bool>& giveUp) {
    boost::this_thread::disable_interruption uninterruptible;
    boost::unique_lock<boost::mutex> lock(guard_);
    ++waiters_;
    while (held_ && !giveUp.load()) {
        freed_.wait(lock);
    }
    --waiters_;
    // A free mutex is taken even when giving up: the wake-up that freed it may
    // have been meant for this waiter alone.
    if (held_) {
        return false;
    }
    held_ = true;
    return true;
}

void ScriptMutex::unlock() {
    bool wake;
    {
        boost::lock_guard<boost::mutex> lock(guard_);
        held_ = false;
        wake = waiters_ > 0;
    }
    if (wake) {
        freed_.notify_one();
    }
}

void ScriptMutex::wakeWaiters() {
    boost::lock_guard<boost::mutex> lock(guard_);
    freed_.notify_all();
}
