#pragma once

#include <boost/thread/condition_variable.hpp>

#include "common/registry_guard.h"

// The mutex scripts take through LockThread. Unlike an OS mutex it belongs to
// no thread: a script may release it from any thread, which an OS mutex
// forbids. Destroying a waiter's thread does not cut the wait short.
//
// Its state is the registry's: every call is made under the registry guard,
// so that taking and releasing a free mutex cost no more than the guard that
// the lock table needs anyway. A waiter gives the guard up while it waits.
class ScriptMutex {
  public:
    bool try_lock() noexcept VANTREL_REQUIRES(registryGuard) {
        if (held_) {
            return false;
        }
        held_ = true;
        return true;
    }

    // Waits until the mutex is free and takes it, or gives up once giveUp()
    // holds after a wakeWaiters(); returns whether it took the mutex.
    template <typename GiveUp>
    bool lock(RegistryLock& registry, GiveUp giveUp) VANTREL_REQUIRES(registryGuard) {
        ++waiters_;
        while (held_ && !giveUp()) {
            registry.wait(freed_);
        }
        --waiters_;
        // A free mutex is taken even when giving up: the wake-up that freed it
        // may have been meant for this waiter alone.
        return try_lock();
    }

    void unlock() noexcept VANTREL_REQUIRES(registryGuard) {
        held_ = false;
        if (waiters_ > 0) {
            freed_.notify_one();
        }
    }

    void wakeWaiters() noexcept { freed_.notify_all(); }

  private:
    boost::condition_variable freed_;
    bool held_ VANTREL_GUARDED_BY(registryGuard) = false;
    int waiters_ VANTREL_GUARDED_BY(registryGuard) = 0;
};
