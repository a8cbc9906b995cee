#pragma once

#include <chrono>
#include <thread>

#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

// Runs wait, a wait on a condition that lock guards, and never throws.
// Boost's Windows condition allocates for every wait: without the memory, the
// caller sleeps a short while instead and looks at what it waits for again,
// as it does after any wake-up.
template <typename Wait>
void waitWithoutThrowing(boost::unique_lock<boost::mutex>& lock, Wait wait) noexcept {
    try {
        wait();
    } catch (...) {
        if (lock.owns_lock()) {
            lock.unlock();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        lock.lock();
    }
}
