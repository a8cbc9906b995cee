#pragma once

#include <atomic>
#include <cstdint>

#include <boost/thread/condition_variable.hpp>

#include "common/cache_line.h"
#include "common/registry_guard.h"
#include "host/host_api.h"

// The mutex scripts take through LockThread. Unlike an OS mutex it belongs to
// no thread: a script may release it from any thread, which an OS mutex
// forbids. Destroying a waiter's thread does not cut the wait short.
//
// One word holds its state, a line apart from any other mutex's state, so
// that taking and releasing it while nobody waits is one compare-and-swap
// each and meets no other worker's pair. Apart by padding, not alignment:
// an over-aligned allocation would need a C runtime function that Windows 7
// lacks. A waiter counts itself in that word and waits under
// the registry guard; whoever releases a mutex that has waiters wakes one
// under that guard, so no wake-up falls between a waiter's look at the word
// and its wait. Both sides change the one word, so its order alone decides
// which of them sees the other.
//
// A mutex lives in the pool (locks/mutex_pool.h) for as long as the plugin
// is loaded. When its thread goes while it is held or waited for it stays an
// orphan, which the fast path never takes; the pool takes it back once nobody
// holds it or waits, and hands it to a later thread.
class ScriptMutex {
  public:
    // Takes it when nobody holds it or waits and its thread is there.
    bool tryLockAlone() noexcept {
        uint32_t free = 0;
        return state_.compare_exchange_strong(free, kHeld, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    // Releases it when nobody waits and its thread is there; otherwise leaves
    // it held, for unlock() under the guard.
    bool tryUnlockAlone() noexcept {
        uint32_t held = kHeld;
        return state_.compare_exchange_strong(held, 0, std::memory_order_release,
                                              std::memory_order_relaxed);
    }

    // The id of the thread it was last handed to. Stable while the caller
    // holds it: the pool hands on only a mutex that nobody holds.
    cell owner() const noexcept { return owner_.load(std::memory_order_relaxed); }

    // Takes it when nobody holds it, waiters or not.
    bool tryLock() noexcept VANTREL_REQUIRES(registryGuard) {
        uint32_t seen = state_.load(std::memory_order_relaxed);
        while ((seen & kHeld) == 0) {
            if (state_.compare_exchange_weak(seen, seen | kHeld, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }

    // Waits until the mutex is free and takes it, or gives up once giveUp()
    // holds after a wakeWaiters(); returns whether it took the mutex.
    template <typename GiveUp>
    bool lock(RegistryLock& registry, GiveUp giveUp) VANTREL_REQUIRES(registryGuard) {
        state_.fetch_add(kWaiter, std::memory_order_relaxed);
        while ((state_.load(std::memory_order_relaxed) & kHeld) != 0 && !giveUp()) {
            registry.wait(freed_);
        }
        // A free mutex is taken even when giving up: the wake-up that freed it
        // may have been meant for this waiter alone.
        bool taken = tryLock();
        state_.fetch_sub(kWaiter, std::memory_order_relaxed);
        return taken;
    }

    // Releases it and wakes a waiter. Returns whether it is now an orphan
    // that nobody holds or waits for, for the pool to take back.
    bool unlock() noexcept VANTREL_REQUIRES(registryGuard) {
        uint32_t was = state_.fetch_and(~kHeld, std::memory_order_release);
        if (was >= kWaiter) {
            freed_.notify_one();
        }
        return (was & ~kHeld) == kOrphan;
    }

    void wakeWaiters() noexcept { freed_.notify_all(); }

    // Its thread is gone. Returns whether nobody holds it or waits for it:
    // then it is the pool's again.
    bool orphan() noexcept VANTREL_REQUIRES(registryGuard) {
        return state_.fetch_or(kOrphan, std::memory_order_relaxed) == 0;
    }

  private:
    friend class MutexPool;

    static constexpr uint32_t kHeld = 1;
    static constexpr uint32_t kOrphan = 2;
    static constexpr uint32_t kWaiter = 4;

    // For a new thread. A look that took it before finds the new owner: the
    // state's release here is what that look's acquire reads.
    void handTo(cell thread) noexcept VANTREL_REQUIRES(registryGuard) {
        owner_.store(thread, std::memory_order_relaxed);
        state_.store(0, std::memory_order_release);
    }

    // kHeld, kOrphan and kWaiter times the number of waiters. With the owner
    // and the index, what a lock or an unlock that waits for nobody reads.
    std::atomic<uint32_t> state_{kOrphan};
    std::atomic<cell> owner_{0};

  public:
    // Its place in the pool, which held locks record. Set by the pool before
    // it first hands the mutex out, and fixed after.
    uint32_t index = 0;

  private:
    boost::condition_variable freed_;
    [[maybe_unused]] char apart_[kCacheLine] = {};
};
