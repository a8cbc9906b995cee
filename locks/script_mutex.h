#pragma once

#include <atomic>

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

// The mutex scripts take through LockThread. Unlike an OS mutex it belongs to
// no thread: a script may release it from any thread, which an OS mutex
// forbids. Taking it is never an interruption point.
class ScriptMutex {
  public:
    bool try_lock();
    // Waits until the mutex is free and takes it, or gives up once giveUp is
    // set and wakeWaiters has been called; returns whether it took the mutex.
    bool lock(const std::atomic<bool>& giveUp);
    void unlock();
    void wakeWaiters();

  private:
    boost::mutex guard_;
    boost::condition_variable freed_;
    bool held_ = false;
    int waiters_ = 0;
};
