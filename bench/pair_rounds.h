// Rounds of lock pairs that several threads run at once: in each round every
// thread runs the same number of pairs from a common start, timing its own,
// and the round costs the mean time of one pair on one thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace bench {

class PairRounds {
  public:
    // Before the threads start.
    void begin(size_t threads, size_t pairs) {
        std::lock_guard<std::mutex> lock(mutex_);
        threads_ = threads;
        pairs_ = pairs;
        round_ = 0;
        arrived_.store(0, std::memory_order_relaxed);
        stopped_ = false;
    }

    // Each thread's part: pair() run pairs times a round, until stop().
    template <typename Pair>
    void take(Pair pair) {
        uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stopped_ || round_ != seen; });
                if (stopped_) {
                    return;
                }
                seen = round_;
            }
            // Together: a thread woken late must not run its pairs alone.
            arrived_.fetch_add(1, std::memory_order_acq_rel);
            while (arrived_.load(std::memory_order_acquire) < threads_ * seen) {
            }
            auto start = std::chrono::steady_clock::now();
            for (size_t i = 0; i < pairs_; ++i) {
                pair();
            }
            double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::lock_guard<std::mutex> lock(mutex_);
            seconds_ += seconds;
            if (++done_ == threads_) {
                changed_.notify_all();
            }
        }
    }

    // One round; the seconds of one pair on one thread.
    double round() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_ = 0;
        seconds_ = 0;
        ++round_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return done_ == threads_; });
        return seconds_ / static_cast<double>(threads_ * pairs_);
    }

    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t threads_ = 0;
    size_t pairs_ = 0;
    uint64_t round_ = 0;
    size_t done_ = 0;
    double seconds_ = 0;
    bool stopped_ = false;
    std::atomic<uint64_t> arrived_{0};
};

extern PairRounds pairRounds;

}  // namespace bench
