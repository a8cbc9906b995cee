#pragma once

#include <atomic>

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

// The mutex scripts take through LockThread. Unlike an OS mutex it belongs to
// no thread: a script may release it from any thread, which an OS mutex
// forbids. Taking it is never an interruption point.
//
// Its state is the registry's: every call is made under the registry's guard,
// so that taking and releasing a free mutex cost no more than the guard that
// the lock table needs anyway. A waiter gives the guard up while it waits.
class ScriptMutex {
  public:
    using RegistryGuard = boost::unique_lock<boost::mutex>;

    bool try_lock();
    // Waits until the mutex is free and takes it, or gives up once giveUp is
    // set and wakeWaiters has been called; returns whether it took the mutex.
    bool lock(RegistryGuard& registry, const std::atomic<bool>& giveUp);
    void unlock();
    void wakeWaiters();

  private:
    boost::condition_variable freed_;
    bool held_ = false;
    int waiters_ = 0;
};
