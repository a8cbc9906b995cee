// What the stress test knows about the plugin's threads and locks, and the
// invariants it checks against every result it sees.
//
// Thread ids are reused at once (smallest free id), so a result alone does
// not always say which thread it was about. The model keeps it exact where it
// can: creations and unlocks are recorded under the model's mutex together
// with the native call (neither blocks), a thread is destroyed through the
// model by one destroyer at a time, and a thread created while a destroy of
// its id was in flight is marked uncertain until that destroy has told which
// thread it hit. Checks that need to know which thread a result was about
// apply to exact threads only.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "emuhost/script.h"
#include "host/host_api.h"

namespace stress {

constexpr int kSlots = 8;
constexpr cell kLoop = 1;
constexpr cell kOnce = 2;

struct MachineModel;

// One script thread as the test created it. A public of the script stands for
// one slot, so the worker that runs it knows which thread it belongs to.
struct Instance {
    MachineModel* machine;
    int slot;
    cell mode;
    cell id = 0;
    // In-flight destroys of this id that may have hit this thread.
    int uncertainty = 0;
    // Such a destroy may have hit it; nothing exact is expected of it.
    bool unsure = false;
    // One destroyer has taken it over in the model.
    bool claimed = false;
    // Certainly out of the plugin's thread table.
    bool freed = false;
    // Its worker has certainly ended: the public may never start again.
    bool mustNotRun = false;
    // A single-shot thread whose public has returned.
    bool returned = false;
    int entries = 0;
    int active = 0;

    bool exact() const { return !unsure && uncertainty == 0; }
    bool finished() const { return mode == kOnce && returned; }
    bool slotReusable() const { return freed || mustNotRun || (finished() && active == 0); }
};
using InstanceRef = std::shared_ptr<Instance>;

// One loaded script machine. A reload gets a new model; the old one stays
// closing for good.
struct MachineModel {
    int index = 0;
    int generation = 0;
    emu::Script* script = nullptr;
    bool closing = false;
    InstanceRef slots[kSlots];
    std::vector<InstanceRef> created;
    // Script addresses of each slot's public name, unpacked and packed.
    cell names[kSlots][2] = {};
    cell missingName = 0;
};

struct HeldLock {
    MachineModel* taker;
    uint64_t owner;
    std::chrono::steady_clock::time_point at;
};

// A DestroyThread in flight. target is the thread the destroyer claimed, or
// null for a destroy of an id believed free.
struct Destroying {
    cell id;
    InstanceRef target;
    std::vector<InstanceRef> overlaps;
};

class Model {
  public:
    std::mutex mutex;

    void violation(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char text[256];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::lock_guard<std::mutex> lock(violationsGuard_);
        if (violations_.size() < 50) {
            violations_.push_back(text);
        }
        ++violationCount_;
    }
    std::vector<std::string> violations() {
        std::lock_guard<std::mutex> lock(violationsGuard_);
        return violations_;
    }
    uint64_t violationCount() {
        std::lock_guard<std::mutex> lock(violationsGuard_);
        return violationCount_;
    }

    // --- threads (mutex held) ---

    // A slot whose public no worker will start again, or -1.
    int freeSlot(MachineModel& machine, std::mt19937_64& rng) {
        int first = static_cast<int>(rng() % kSlots);
        for (int i = 0; i < kSlots; ++i) {
            int slot = (first + i) % kSlots;
            const InstanceRef& held = machine.slots[slot];
            if (!held || held->slotReusable()) {
                return slot;
            }
        }
        return -1;
    }

    // Called with the result of the CreateThread(Ex) that started instance.
    void recordCreate(const InstanceRef& instance, cell result) {
        MachineModel& machine = *instance->machine;
        if (result <= 0) {
            machine.slots[instance->slot] = nullptr;
            if (!machine.closing) {
                violation("CreateThread of an existing public returned %d", result);
            }
            return;
        }
        instance->id = result;
        maxThreadId = std::max(maxThreadId, result);
        InstanceRef& latest = latest_[result];
        if (latest && !latest->freed) {
            // The id is free again only once its thread has left the table.
            if (!latest->finished() && !latest->claimed && !latest->machine->closing &&
                latest->exact()) {
                violation("thread id %d handed out again while its thread lives", result);
            }
            // Its worker has been joined, or ends without calling the public again.
            latest->freed = true;
            latest->mustNotRun = true;
        }
        latest = instance;
        for (Destroying* destroying : inflight_[result]) {
            destroying->overlaps.push_back(instance);
            ++instance->uncertainty;
        }
        machine.created.push_back(instance);
        live_.push_back(instance);
    }

    // A thread that can be destroyed: not freed and not claimed.
    InstanceRef pickLive(std::mt19937_64& rng) {
        for (int tries = 0; tries < 8 && !live_.empty(); ++tries) {
            size_t at = rng() % live_.size();
            InstanceRef candidate = live_[at];
            if (candidate->freed || candidate->mustNotRun) {
                live_[at] = live_.back();
                live_.pop_back();
                continue;
            }
            if (!candidate->claimed && candidate->id > 0) {
                return candidate;
            }
        }
        return nullptr;
    }

    // An id whose last thread has certainly left the table, or 0.
    cell pickFreed(std::mt19937_64& rng) {
        if (latest_.empty()) {
            return 0;
        }
        auto it = latest_.lower_bound(static_cast<cell>(rng() % (maxThreadId + 1)));
        if (it == latest_.end() || !it->second->freed) {
            return 0;
        }
        return it->first;
    }

    void beginDestroy(Destroying& destroying) {
        if (destroying.target) {
            destroying.target->claimed = true;
        }
        inflight_[destroying.id].push_back(&destroying);
    }

    // cutShort: the destroyer's own thread may have been destroyed meanwhile,
    // which ends its DestroyThread without destroying anything.
    void endDestroy(Destroying& destroying, cell result, bool cutShort) {
        auto& pending = inflight_[destroying.id];
        pending.erase(std::find(pending.begin(), pending.end(), &destroying));
        if (pending.empty()) {
            inflight_.erase(destroying.id);
        }
        if (!destroying.target) {
            endDestroyOfFreeId(destroying, result, cutShort);
            return;
        }
        Instance& target = *destroying.target;
        // A finished single-shot thread may have been reaped, and a closing
        // machine's threads may have been stopped, before the destroy.
        bool sure = target.exact() && !target.finished() && !target.machine->closing;
        if (result == 1) {
            // Whichever thread was hit, the claimed one has left the table:
            // either it was hit, or its id was free for a newer thread.
            bool hitTarget = sure || destroying.overlaps.empty();
            destroyed(target, destroying.id, hitTarget);
            settleOverlaps(destroying, !hitTarget);
            return;
        }
        if (result != 0) {
            violation("DestroyThread(%d) returned %d", destroying.id, result);
        }
        settleOverlaps(destroying, cutShort);
        if (sure && !cutShort) {
            violation("DestroyThread(%d) of a live thread returned 0", destroying.id);
        }
        if (target.finished() && !target.machine->closing && !cutShort) {
            target.freed = true;  // reaped first
        } else {
            target.claimed = false;
            // A destroyer whose own script unloads stops waiting, and the
            // destruction it began completes without it.
            target.unsure |= cutShort;
        }
    }

    // The destroyed thread's worker has ended: its public must not be running
    // and must never start again.
    void destroyed(Instance& thread, cell id, bool certain) {
        if (certain && thread.active != 0) {
            violation("a public of thread %d runs after DestroyThread returned", id);
        }
        thread.freed = true;
        thread.mustNotRun = true;
        ++destroyedCount;
    }

    // Called when a public starts; returns whether it may run.
    bool enter(const InstanceRef& thread, cell id) {
        if (thread->id != id) {
            violation("a public received id %d, its thread was given %d", id, thread->id);
        }
        if (thread->mustNotRun) {
            violation("a public of thread %d started after its thread was destroyed", id);
        }
        if (thread->mode == kOnce && thread->entries > 0) {
            violation("single-shot thread %d ran twice", id);
        }
        auto& running = running_[id];
        if (running.second > 0 && running.first != thread.get()) {
            violation("two live threads share id %d", id);
        }
        running.first = thread.get();
        ++running.second;
        ++thread->entries;
        ++thread->active;
        return true;
    }

    // returning: the public returns, rather than steps out before destroying
    // its own thread.
    void leave(Instance& thread, bool returning) {
        auto running = running_.find(thread.id);
        if (running != running_.end() && running->second.first == &thread &&
            --running->second.second == 0) {
            running_.erase(running);
        }
        --thread.active;
        if (returning && thread.mode == kOnce) {
            thread.returned = true;
        }
    }

    // The machine's AmxUnload has returned: every thread of it has ended and
    // its locks are released.
    void machineUnloaded(MachineModel& machine) {
        for (const InstanceRef& thread : machine.created) {
            if (!thread->mustNotRun && thread->active != 0) {
                violation("a public of thread %d runs after AmxUnload of its machine returned",
                          thread->id);
            }
            if (!thread->freed) {
                ++stoppedByUnload;
            }
            thread->freed = true;
            thread->mustNotRun = true;
        }
        for (auto it = held_.begin(); it != held_.end();) {
            it = it->second.taker == &machine ? held_.erase(it) : std::next(it);
        }
    }

    // Every worker has ended and every id has been checked free.
    void forgetThreads() {
        for (auto& entry : latest_) {
            entry.second->freed = true;
            entry.second->mustNotRun = true;
        }
        live_.clear();
        running_.clear();
    }

    std::vector<InstanceRef> unfreed() {
        std::vector<InstanceRef> all;
        for (auto& entry : latest_) {
            if (!entry.second->freed) {
                all.push_back(entry.second);
            }
        }
        return all;
    }

    // --- locks (mutex held) ---

    void recordLock(cell lockId, MachineModel& taker, uint64_t owner) {
        maxLockId = std::max(maxLockId, lockId);
        auto held = held_.find(lockId);
        if (held != held_.end()) {
            if (taker.closing) {
                return;  // given back by AmxUnload already; the id went to a newer lock
            }
            if (!held->second.taker->closing) {
                violation("lock id %d handed out while that lock is held", lockId);
            }
        }
        held_[lockId] = HeldLock{&taker, owner, std::chrono::steady_clock::now()};
        ++locksTaken;
    }

    // For an UnLockThread of a lock the model holds, called with its result.
    // Locks of a closing machine are never unlocked by id: AmxUnload may have
    // given the id to a newer lock whose taker has not recorded it yet.
    void recordUnlock(std::map<cell, HeldLock>::iterator held, cell result) {
        if (result != 1) {
            violation("UnLockThread(%d) of a held lock returned %d", held->first, result);
        }
        held_.erase(held);
        ++locksReleased;
    }

    std::map<cell, HeldLock>& held() { return held_; }

    uint64_t destroyedCount = 0;
    uint64_t stoppedByUnload = 0;
    uint64_t locksTaken = 0;
    uint64_t locksReleased = 0;
    cell maxThreadId = 0;
    cell maxLockId = 0;

  private:
    // The destroy has told what it did to the threads that took its id
    // meanwhile: none of them is in doubt because of it any more, unless it
    // may have hit one (a destroy cut short may have begun destroying one,
    // which completes without it).
    void settleOverlaps(Destroying& destroying, bool mayHaveHitOne) {
        for (const InstanceRef& overlap : destroying.overlaps) {
            --overlap->uncertainty;
            overlap->unsure |= mayHaveHitOne;
        }
    }

    void endDestroyOfFreeId(Destroying& destroying, cell result, bool cutShort) {
        if (result == 0) {
            settleOverlaps(destroying, cutShort);
            return;
        }
        if (destroying.overlaps.empty()) {
            violation("DestroyThread(%d) of a free id returned %d", destroying.id, result);
            return;
        }
        bool single = destroying.overlaps.size() == 1;
        for (const InstanceRef& overlap : destroying.overlaps) {
            --overlap->uncertainty;
            if (single) {
                destroyed(*overlap, destroying.id, true);
            } else {
                overlap->unsure = true;
            }
        }
    }

    std::vector<std::string> violations_;
    uint64_t violationCount_ = 0;
    std::mutex violationsGuard_;
    // The last thread given each id.
    std::map<cell, InstanceRef> latest_;
    std::map<cell, std::vector<Destroying*>> inflight_;
    // Publics running now, by id: which thread and how many calls.
    std::map<cell, std::pair<Instance*, int>> running_;
    std::vector<InstanceRef> live_;
    std::map<cell, HeldLock> held_;
};

}  // namespace stress
