#include "bench/probes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace bench {

Sleepers sleepers;
ExitSignal exitSignal;
CallCounter spins;
Computation computation;
RunSignal publicRan;

namespace {

// Larger than any number of threads a benchmark starts between a mark and
// its wait.
const size_t kTrackedSleepers = 1 << 16;

// The thread's scheduler state from /proc: 'S' while it blocks in the kernel.
// Plain reads: the heap must not move while memory is being measured.
char threadState(pid_t tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return '?';
    }
    char text[512];
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) {
        return '?';
    }
    text[length] = '\0';
    // The command name may hold spaces and parentheses; the state follows the last ')'.
    const char* end = std::strrchr(text, ')');
    return end != nullptr && end[1] == ' ' ? end[2] : '?';
}

}  // namespace

Sleepers::Sleepers() : tids_(kTrackedSleepers), stacks_(kTrackedSleepers) {}

Sleepers::Inside::Inside() {
    uint64_t slot = sleepers.entered_.fetch_add(1, std::memory_order_acq_rel);
    sleepers.tids_[slot % kTrackedSleepers].store(gettid(), std::memory_order_relaxed);
    sleepers.stacks_[slot % kTrackedSleepers].store(reinterpret_cast<uintptr_t>(this),
                                                    std::memory_order_relaxed);
    sleepers.inside_.fetch_add(1, std::memory_order_release);
}

Sleepers::Inside::~Inside() {
    sleepers.inside_.fetch_sub(1, std::memory_order_release);
}

bool Sleepers::waitAsleep(int count, uint64_t mark, std::chrono::seconds deadline) const {
    auto end = std::chrono::steady_clock::now() + deadline;
    auto pastDeadline = [&] {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        return std::chrono::steady_clock::now() > end;
    };
    while (inside() != count) {
        if (pastDeadline()) {
            return false;
        }
    }
    uint64_t entered = this->entered_.load(std::memory_order_acquire);
    for (uint64_t slot = mark; slot < entered; ++slot) {
        pid_t tid = tids_[slot % kTrackedSleepers].load(std::memory_order_relaxed);
        while (threadState(tid) != 'S') {
            if (pastDeadline()) {
                return false;
            }
        }
    }
    return true;
}

double Sleepers::reservedStacks(uint64_t mark) const {
    struct Mapping {
        uintptr_t begin;
        uintptr_t end;
        bool guard;
    };
    std::vector<Mapping> mappings;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long begin = 0;
        unsigned long end = 0;
        char permissions[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, permissions) == 3) {
            mappings.push_back({begin, end, std::strcmp(permissions, "---p") == 0});
        }
    }
    double reserved = 0;
    uint64_t entered = entered_.load(std::memory_order_acquire);
    for (uint64_t slot = mark; slot < entered; ++slot) {
        uintptr_t address = stacks_[slot % kTrackedSleepers].load(std::memory_order_relaxed);
        for (size_t i = 0; i < mappings.size(); ++i) {
            if (address < mappings[i].begin || address >= mappings[i].end) {
                continue;
            }
            reserved += static_cast<double>(mappings[i].end - mappings[i].begin);
            // The guard page sits right below the stack it guards.
            if (i > 0 && mappings[i - 1].guard && mappings[i - 1].end == mappings[i].begin) {
                reserved += static_cast<double>(mappings[i - 1].end - mappings[i - 1].begin);
            }
            break;
        }
    }
    return reserved;
}

ExitSignal::ExitSignal() {
    pthread_key_create(&key_, &ExitSignal::fire);
}

void ExitSignal::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = false;
}

void ExitSignal::arm() {
    pthread_setspecific(key_, this);
}

void ExitSignal::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    fired_.wait(lock, [this] { return ended_; });
}

void ExitSignal::fire(void* armed) {
    auto* signal = static_cast<ExitSignal*>(armed);
    std::lock_guard<std::mutex> lock(signal->mutex_);
    signal->ended_ = true;
    signal->fired_.notify_all();
}

void RunSignal::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    ran_ = false;
}

void RunSignal::fire() {
    std::lock_guard<std::mutex> lock(mutex_);
    ran_ = true;
    fired_.notify_all();
}

void RunSignal::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    fired_.wait(lock, [this] { return ran_; });
}

long residentBytes() {
    int fd = open("/proc/self/statm", O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    char text[128];
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) {
        return -1;
    }
    text[length] = '\0';
    long size = 0;
    long resident = 0;
    if (std::sscanf(text, "%ld %ld", &size, &resident) != 2) {
        return -1;
    }
    return resident * sysconf(_SC_PAGESIZE);
}

}  // namespace bench
