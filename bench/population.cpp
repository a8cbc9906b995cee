#include "bench/population.h"

#include <fstream>
#include <string>

#include "bench/fail.h"
#include "bench/probes.h"
#include "bench/rig.h"

namespace bench {

Population population;

namespace {

long readLimit(const char* path) {
    std::ifstream file(path);
    std::string value;
    if (!(file >> value) || value == "max") {
        return -1;
    }
    return std::stol(value);
}

}  // namespace

void checkThreadRoom(size_t threads) {
    // Each thread maps its stack and the guard page below it.
    const struct {
        const char* path;
        long perThread;
    } limits[] = {
        {"/proc/sys/kernel/threads-max", 1},
        {"/proc/sys/kernel/pid_max", 1},
        {"/proc/sys/vm/max_map_count", 2},
        {"/sys/fs/cgroup/pids.max", 1},
    };
    const long margin = 1000;
    for (const auto& limit : limits) {
        long allowed = readLimit(limit.path);
        if (allowed >= 0 && static_cast<long>(threads) * limit.perThread + margin > allowed) {
            fail(std::string(limit.path) + " is " + std::to_string(allowed) + ", too low for " +
                 std::to_string(threads) + " threads; lower --population");
        }
    }
}

void Population::resize(size_t n) {
    Rig& rig = Rig::get();
    if (n > ids_.size()) {
        checkThreadRoom(n);
        uint64_t mark = sleepers.mark();
        while (ids_.size() < n) {
            cell id = rig.call(rig.createThread, rig.sleeperName);
            if (id == 0) {
                fail("CreateThread failed while starting " + std::to_string(n) + " sleepers");
            }
            ids_.push_back(id);
        }
        // They start, one after the other, while main-thread code sleeps.
        rig.call(rig.sleepThread, 0);
        if (!sleepers.waitAsleep(static_cast<int>(n), mark)) {
            fail("the sleepers did not fall asleep");
        }
    }
    while (ids_.size() > n) {
        if (rig.call(rig.destroyThread, ids_.back()) != 1) {
            fail("DestroyThread did not destroy a sleeper");
        }
        ids_.pop_back();
    }
}

}  // namespace bench
