#include "locks/mutex_pool.h"

#include <new>

ScriptMutex& MutexPool::take(cell thread) {
    ScriptMutex* mutex = nullptr;
    if (!free_.empty()) {
        mutex = free_.back();
        free_.pop_back();
    } else {
        if (free_.capacity() == made_) {
            free_.reserve(made_ == 0 ? 64 : size_t{2} * made_);
        }
        mutex = &mutexes_.make(made_);
        mutex->index = made_++;
    }
    mutex->handTo(thread);
    return *mutex;
}

void MutexPool::giveBack(ScriptMutex& mutex) noexcept {
    free_.push_back(&mutex);
}
