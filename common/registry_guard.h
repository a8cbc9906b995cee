// The one guard of the registry. It covers every thread's and every
// machine's books and the script mutexes' waits: the fields that name it,
// wherever they live. The held locks and a script mutex's own state are
// atomic words, so that a lock or an unlock that waits for nobody takes no
// guard. It is never held while joining a worker, nor while waiting for a
// script mutex or for a destruction: those waits give it up.
//
// Lock order: the registry guard, then a script thread's sleep guard (taken
// to wake its worker). No thread takes the registry guard while holding a
// sleep guard.
#pragma once

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

#include "common/thread_safety.h"
#include "common/wait.h"

// Taken only through RegistryLock.
class VANTREL_CAPABILITY("mutex") RegistryMutex {
  private:
    friend class RegistryLock;
    boost::mutex mutex_;
};

// One guard for the one registry, and a capability that the fields of every
// layer below the registry can name.
extern RegistryMutex registryGuard;

// Holds the registry guard for its scope. Boost's own lock carries no
// annotations, so the analysis could not follow the waits and the unlock
// around a join through it.
class VANTREL_SCOPED_CAPABILITY RegistryLock {
  public:
    RegistryLock() VANTREL_ACQUIRE(registryGuard) : lock_(registryGuard.mutex_) {}
    ~RegistryLock() VANTREL_RELEASE() {}
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

    // Runs wait, a wait that must not hold the guard such as a join, with
    // the guard given up, and holds it again when wait returns. The analysis
    // takes the guard as held throughout; wait must touch nothing it guards,
    // which the analysis checks of a lambda, being a function of its own.
    template <typename Wait>
    void withoutGuard(Wait wait) VANTREL_NO_THREAD_SAFETY_ANALYSIS {
        lock_.unlock();
        wait();
        lock_.lock();
    }

    // Gives the guard up until condition is notified, and holds it again
    // when it returns. Never throws.
    void wait(boost::condition_variable& condition) noexcept {
        waitWithoutThrowing(lock_, [&] { condition.wait(lock_); });
    }

  private:
    boost::unique_lock<boost::mutex> lock_;
};
