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

void ScriptMutex::lock() {
    boost::this_thread::disable_interruption uninterruptible;
    boost::unique_lock<boost::mutex> lock(guard_);
    ++waiters_;
    while (held_) {
        freed_.wait(lock);
    }
    --waiters_;
    held_ = true;
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
