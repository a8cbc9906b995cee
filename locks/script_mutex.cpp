#include "locks/script_mutex.h"

#include <boost/thread/thread.hpp>

bool ScriptMutex::try_lock() {
    if (held_) {
        return false;
    }
    held_ = true;
    return true;
}

bool ScriptMutex::lock(RegistryGuard& registry, const std::atomic<bool>& giveUp) {
    boost::this_thread::disable_interruption uninterruptible;
    ++waiters_;
    while (held_ && !giveUp.load()) {
        freed_.wait(registry);
    }
    --waiters_;
    // A free mutex is taken even when giving up: the wake-up that freed it may
    // have been meant for this waiter alone.
    return try_lock();
}

void ScriptMutex::unlock() {
    held_ = false;
    if (waiters_ > 0) {
        freed_.notify_one();
    }
}

void ScriptMutex::wakeWaiters() {
    freed_.notify_all();
}
