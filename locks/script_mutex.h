#pragma once

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

// The mutex scripts take through LockThread. Unlike an OS mutex it belongs to
// no thread: a script may release it from any thread, which an OS mutex
// forbids. Taking it is never an interruption point.
class ScriptMutex {
  public:
    bool try_lock();
    void lock();
    void unlock();

  private:
    boost::mutex guard_;
    boost::condition_variable freed_;
    bool held_ = false;
    int waiters_ = 0;
};
