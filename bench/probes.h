// What the benchmarks observe of the threads they start, without asking the
// plugin: which threads sleep, which have ended, how often a public ran.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace bench {

// Counts the threads inside a benchmark's sleep and remembers their OS thread
// ids, so that a benchmark can wait until the threads it started are blocked
// in the kernel, not merely on their way there.
class Sleepers {
  public:
    Sleepers();

    // Held by a thread for the length of its sleep.
    class Inside {
      public:
        Inside();
        ~Inside();
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;
    };

    int inside() const { return inside_.load(std::memory_order_acquire); }
    // Threads that entered so far; pass it to waitAsleep to check those that
    // enter after it.
    uint64_t mark() const { return entered_.load(std::memory_order_acquire); }
    // Waits until count threads are inside and every thread that entered
    // since mark blocks in the kernel. False when the deadline passed first.
    bool waitAsleep(int count, uint64_t mark,
                    std::chrono::seconds deadline = std::chrono::seconds(60)) const;
    // The address space that the stacks of the threads entered since mark
    // take, guard pages included, from the process's mappings. Call it while
    // they sleep.
    double reservedStacks(uint64_t mark) const;

  private:
    // Written once up front: the first round's measurement of resident memory
    // must not see these pages arrive.
    std::vector<std::atomic<pid_t>> tids_;
    // An address on each sleeper's stack.
    std::vector<std::atomic<uintptr_t>> stacks_;
    std::atomic<uint64_t> entered_{0};
    std::atomic<int> inside_{0};
};

extern Sleepers sleepers;

// Fires when a thread that armed it has ended. It rides on a thread-specific
// key, whose destructor runs as the thread exits, after all the thread did.
class ExitSignal {
  public:
    ExitSignal();
    void reset();
    // Called on the thread to watch.
    void arm();
    // Blocks until the armed thread has ended: a waiter that spun instead
    // would take a core from that very thread on a busy machine.
    void wait();

  private:
    static void fire(void* signal);

    pthread_key_t key_;
    std::mutex mutex_;
    std::condition_variable fired_;
    bool ended_ = false;
};

extern ExitSignal exitSignal;

// Fires once a public has begun to run, for the code that waits for it.
class RunSignal {
  public:
    void reset();
    void fire();
    // Blocks: a waiter that spun would take a core from the thread it waits
    // for.
    void wait();

  private:
    std::mutex mutex_;
    std::condition_variable fired_;
    bool ran_ = false;
};

extern RunSignal publicRan;

// Calls of a public that only counts them. One thread at a time runs it, so a
// plain increment serves and adds no locked instruction to the loop.
class CallCounter {
  public:
    void count() {
        calls_.store(calls_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    uint64_t calls() const { return calls_.load(std::memory_order_relaxed); }

  private:
    std::atomic<uint64_t> calls_{0};
};

extern CallCounter spins;

// Script code that computes until told to stop, without a native call: a
// worker busy in its public, as a script's worker is with its work.
class Computation {
  public:
    void run() {
        uint32_t value = 1;
        while (!stopped_.load(std::memory_order_relaxed)) {
            value = value * 1664525u + 1013904223u;
        }
        result_.store(value, std::memory_order_relaxed);
    }
    void allow() { stopped_.store(false, std::memory_order_relaxed); }
    void stop() { stopped_.store(true, std::memory_order_relaxed); }

  private:
    std::atomic<bool> stopped_{false};
    std::atomic<uint32_t> result_{0};
};

extern Computation computation;

// The process's resident memory in bytes.
long residentBytes();

}  // namespace bench
