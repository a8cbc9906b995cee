// Turns a hang into a diagnosis: a test reports its phase and each of its
// threads reports every step; when nothing moves for too long, or the test
// overruns its deadline, the watchdog prints where everything stood and
// aborts the process, so CTest reports the test as failed long before any
// outer time limit.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace test {

class Watchdog {
  public:
    using Clock = std::chrono::steady_clock;

    // The progress of one thread, or of one role that threads take in turn.
    class Lane {
      public:
        Lane(std::string name, bool critical)
            : name_(std::move(name)),
              critical_(critical),
              at_(Clock::now().time_since_epoch().count()) {}

        // op must outlive the test: a string literal.
        void step(const char* op, int64_t detail = 0) {
            last_.store(op, std::memory_order_relaxed);
            detail_.store(detail, std::memory_order_relaxed);
            at_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
            steps_.fetch_add(1, std::memory_order_relaxed);
        }

      private:
        friend class Watchdog;
        const std::string name_;
        const bool critical_;
        std::atomic<const char*> last_{"(none)"};
        std::atomic<int64_t> detail_{0};
        std::atomic<Clock::rep> at_;
        std::atomic<uint64_t> steps_{0};
    };

    // Aborts when no lane steps and the phase does not change for stall, when
    // a critical lane alone does not step for stall, or when the whole watch
    // lasts longer than deadline.
    Watchdog(std::string test, std::chrono::seconds stall, std::chrono::seconds deadline)
        : test_(std::move(test)),
          stall_(stall),
          start_(Clock::now()),
          deadline_(start_ + deadline),
          monitor_([this] { watch(); }) {}

    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(guard_);
            done_ = true;
        }
        wake_.notify_all();
        monitor_.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void phase(std::string what) {
        std::lock_guard<std::mutex> lock(guard_);
        phase_ = std::move(what);
        ++phaseChanges_;
    }

    // The returned lane lives as long as the watchdog. A critical lane is one
    // whose thread must keep stepping, such as the one driving the test.
    Lane& lane(std::string name, bool critical = false) {
        std::lock_guard<std::mutex> lock(guard_);
        lanes_.emplace_back(std::move(name), critical);
        return lanes_.back();
    }

  private:
    uint64_t progress() {
        uint64_t sum = phaseChanges_;
        for (Lane& lane : lanes_) {
            sum += lane.steps_.load(std::memory_order_relaxed);
        }
        return sum;
    }

    void watch() {
        std::unique_lock<std::mutex> lock(guard_);
        uint64_t seen = progress();
        auto movedAt = Clock::now();
        while (!done_) {
            wake_.wait_for(lock, std::chrono::milliseconds(100));
            if (done_) {
                return;
            }
            auto now = Clock::now();
            uint64_t current = progress();
            if (current != seen) {
                seen = current;
                movedAt = now;
            } else if (now - movedAt > stall_) {
                fail("no progress", now);
            }
            if (now > deadline_) {
                fail("deadline exceeded", now);
            }
            for (Lane& lane : lanes_) {
                Clock::time_point at{Clock::duration(lane.at_.load(std::memory_order_relaxed))};
                if (lane.critical_ && now - at > stall_) {
                    fail(("no progress on " + lane.name_).c_str(), now);
                }
            }
        }
    }

    [[noreturn]] void fail(const char* why, Clock::time_point now) {
        auto ms = [&](Clock::time_point then) {
            return static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count());
        };
        std::fprintf(stderr, "\nWATCHDOG: %s: %s after %lld ms, phase: %s\n", test_.c_str(), why,
                     ms(start_), phase_.c_str());
        for (Lane& lane : lanes_) {
            uint64_t steps = lane.steps_.load(std::memory_order_relaxed);
            if (steps == 0 && !lane.critical_) {
                continue;
            }
            Clock::time_point at{Clock::duration(lane.at_.load(std::memory_order_relaxed))};
            std::fprintf(
                stderr, "  %-14s %10llu steps, last %s(%lld) %lld ms ago\n", lane.name_.c_str(),
                static_cast<unsigned long long>(steps), lane.last_.load(std::memory_order_relaxed),
                static_cast<long long>(lane.detail_.load(std::memory_order_relaxed)), ms(at));
        }
        std::fflush(stderr);
#ifdef _WIN32
        // abort() runs the process's exit path, which a hang of the kind
        // being reported may hang as well, until an outer limit kills it.
        TerminateProcess(GetCurrentProcess(), 3);
#endif
        std::abort();
    }

    const std::string test_;
    const std::chrono::seconds stall_;
    const Clock::time_point start_;
    const Clock::time_point deadline_;
    std::mutex guard_;
    std::condition_variable wake_;
    bool done_ = false;
    std::string phase_ = "starting";
    uint64_t phaseChanges_ = 0;
    std::deque<Lane> lanes_;
    std::thread monitor_;  // last: starts once everything it reads exists
};

}  // namespace test
