// Randomized load on the real plugin: several script machines, the main thread
// and the publics of many workers call all six natives at random while
// machines are unloaded and loaded again; the model checks every result as it
// comes. Each round ends with everything at rest, where the registry and the
// lock table must be empty and every worker gone. The run ends with Unload
// while threads and locks are alive.
//
// The seed is printed; VANTREL_STRESS_SEED, VANTREL_STRESS_SECONDS and
// VANTREL_STRESS_OPS repeat or resize a run.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "emuhost/emulated_host.h"
#include "tests/stress_model.h"
#include "tests/stress_settings.h"
#include "tests/support.h"
#include "tests/watchdog.h"

namespace stress {
namespace {

enum Native { kCreate, kCreateEx, kDestroy, kSleep, kLock, kUnlock, kNativeCount };
const char* const kNativeNames[kNativeCount] = {"CreateThread", "CreateThreadEx", "DestroyThread",
                                                "SleepThread",  "LockThread",     "UnLockThread"};

constexpr int kMachines = 4;
// Ids no thread or lock of a run this size is ever given.
const cell kNeverHanded[] = {0, -1, INT_MIN, INT_MAX, 1000000};
constexpr auto kLockHeldTooLong = std::chrono::milliseconds(2);

// Thrown where the machine would abandon the running code: a native left the
// machine's error field set. The emulated machine ends such code with its
// general error.
struct Abandon {};
constexpr int kEndedByException = 27;

using Clock = std::chrono::steady_clock;

template <size_t N>
cell pick(const cell (&values)[N], std::mt19937_64& rng) {
    return values[rng() % N];
}

class StressTest : public test::PluginTest {
  protected:
    // Who is calling: the machine its code runs in, its own script thread (null
    // on the main thread and the janitor) and its progress lane.
    struct Actor {
        MachineModel* machine;
        InstanceRef self;
        std::mt19937_64& rng;
        test::Watchdog::Lane& lane;
        // The public still counts as running in the model.
        bool counted = true;
    };

    void SetUp() override {
        test::PluginTest::SetUp();
        breaksRule("several workers of one script run its code at once");
        settings_ = Settings::fromEnvironment();
        std::printf("[stress] seed %llu (VANTREL_STRESS_SEED), %.1f s, at most %llu operations\n",
                    static_cast<unsigned long long>(settings_.seed), settings_.seconds,
                    static_cast<unsigned long long>(settings_.maxOps));
        std::fflush(stdout);
        watchdog_ = std::make_unique<test::Watchdog>(
            "stress", std::chrono::seconds(60),
            std::chrono::seconds(120 + static_cast<int>(settings_.seconds * 20)));
        mainLane_ = &watchdog_->lane("main", true);
        janitorLane_ = &watchdog_->lane("janitor");
        for (int m = 0; m < kMachines; ++m) {
            for (int s = 0; s < kSlots; ++s) {
                slotLanes_[m][s] =
                    &watchdog_->lane("m" + std::to_string(m) + " t" + std::to_string(s));
            }
        }
        mainRng_ = stream(settings_.seed, 0);
        for (int m = 0; m < kMachines; ++m) {
            machines_[m] = loadMachine(m, 0);
        }
        control_ = loadMachine(kMachines, 0);
        janitorMachine_ = loadMachine(kMachines + 1, 0);
        resolveNatives();
        janitor_ = std::thread([this] { janitor(); });
        baseline_ = emu::countProcessThreads();
    }

    void TearDown() override {
        stopJanitor();
        test::PluginTest::TearDown();
        watchdog_.reset();
    }

    MachineModel* loadMachine(int index, int generation) {
        auto machine = std::make_unique<MachineModel>();
        MachineModel* model = machine.get();
        model->index = index;
        model->generation = generation;
        emu::ScriptDefinition definition;
        // Many workers of each machine run its code at once, beside the main
        // thread's, each on a machine of its own.
        definition.natives = test::kAllNatives;
        // Both of the servers' data blocks: inside the image, and apart.
        definition.dataInImage = index % 2 == 1;
        for (int slot = 0; slot < kSlots; ++slot) {
            definition.publics.emplace_back(
                "t" + std::to_string(slot),
                [this, model, slot](emu::Call& c) { runPublic(*model, slot, c); });
        }
        int registered = -1;
        model->script = &host->loadScript(std::move(definition), &registered);
        EXPECT_EQ(registered, AMX_ERR_NONE);
        for (int slot = 0; slot < kSlots; ++slot) {
            std::string name = "t" + std::to_string(slot);
            model->names[slot][0] = model->script->store(emu::unpackedString(name));
            model->names[slot][1] = model->script->store(emu::packString(name));
        }
        model->missingName = model->script->store(emu::unpackedString("missing_public"));
        machinesEver_.push_back(std::move(machine));
        return model;
    }

    void resolveNatives() {
        for (int n = 0; n < kNativeCount; ++n) {
            natives_[n] = control_->script->resolve(kNativeNames[n]);
            ASSERT_NE(natives_[n], nullptr) << kNativeNames[n];
        }
    }

    // --- calling natives ---

    // Calls a native as the machine does; the caller records the result in
    // the model before settle() lets the machine look at its error field.
    cell call(Actor& a, Native native, cell arg) {
        ops_[native].fetch_add(1, std::memory_order_relaxed);
        a.lane.step(kNativeNames[native], arg);
        cell params[2] = {static_cast<cell>(sizeof(cell)), arg};
        return natives_[native](a.machine->script->amx(), params);
    }

    void settle(Actor& a) {
        if (__atomic_load_n(&a.machine->script->amx()->error, __ATOMIC_RELAXED) != AMX_ERR_NONE) {
            abandoned_.fetch_add(1, std::memory_order_relaxed);
            throw Abandon{};
        }
    }

    // The caller's own thread may have been destroyed meanwhile (or its
    // machine be unloading), which cuts a waiting native short.
    bool mayBeCutShort(const Actor& a) {
        return a.self && (a.self->claimed || a.self->machine->closing || !a.self->exact());
    }

    // Runs code as script code of the machine; abandoning it is allowed noise.
    void runIn(MachineModel& machine, const std::function<void(Actor&)>& code) {
        Actor a{&machine, nullptr, mainRng_, *mainLane_};
        int error = machine.script->run([&](emu::Call&) { code(a); });
        if (error != AMX_ERR_NONE && error != kEndedByException) {
            model_.violation("main thread code ended with AMX error %d", error);
        }
    }

    // --- operations, shared by the main thread and the publics ---

    void create(Actor& a, cell mode) {
        std::unique_lock<std::mutex> lock(model_.mutex);
        int slot = model_.freeSlot(*a.machine, a.rng);
        if (slot < 0) {
            return;
        }
        auto thread = std::make_shared<Instance>(Instance{a.machine, slot, mode});
        // Set first: the worker may enter the public before the native returns.
        a.machine->slots[slot] = thread;
        cell id = call(a, mode == kLoop ? kCreate : kCreateEx, a.machine->names[slot][a.rng() % 2]);
        model_.recordCreate(thread, id);
        if (id > 0) {
            ++created_[mode == kLoop ? 0 : 1];
            onceSinceQuiesce_ += mode == kOnce;
        }
        lock.unlock();
        settle(a);
    }

    void createMissing(Actor& a) {
        cell id = call(a, a.rng() % 2 ? kCreate : kCreateEx, a.machine->missingName);
        if (id != 0) {
            model_.violation("CreateThread of a public the script lacks returned %d", id);
        }
        settle(a);
    }

    // Returns false when the public must end: it destroyed its own thread.
    bool destroy(Actor& a) {
        std::unique_lock<std::mutex> lock(model_.mutex);
        InstanceRef target = model_.pickLive(a.rng);
        if (!target) {
            return true;
        }
        if (target == a.self) {
            lock.unlock();
            return destroySelf(a);
        }
        Destroying destroying{target->id, target, {}};
        model_.beginDestroy(destroying);
        lock.unlock();
        cell result = call(a, kDestroy, destroying.id);
        lock.lock();
        model_.endDestroy(destroying, result, mayBeCutShort(a));
        lock.unlock();
        settle(a);
        return true;
    }

    bool destroySelf(Actor& a) {
        std::unique_lock<std::mutex> lock(model_.mutex);
        Instance& self = *a.self;
        if (self.claimed || self.machine->closing) {
            return true;
        }
        Destroying destroying{self.id, a.self, {}};
        model_.beginDestroy(destroying);
        // Its id is free the moment the native frees it.
        model_.leave(self, false);
        a.counted = false;
        lock.unlock();
        cell result = call(a, kDestroy, destroying.id);
        lock.lock();
        model_.endDestroy(destroying, result, false);
        selfDestroyed_ += result == 1;
        lock.unlock();
        settle(a);
        return false;
    }

    void destroyFreeId(Actor& a) {
        std::unique_lock<std::mutex> lock(model_.mutex);
        cell id = a.rng() % 2 ? model_.pickFreed(a.rng) : 0;
        if (id == 0) {
            lock.unlock();
            cell never = pick(kNeverHanded, a.rng);
            cell result = call(a, kDestroy, never);
            if (result != 0) {
                model_.violation("DestroyThread(%d) returned %d", never, result);
            }
            settle(a);
            return;
        }
        Destroying destroying{id, nullptr, {}};
        model_.beginDestroy(destroying);
        lock.unlock();
        cell result = call(a, kDestroy, id);
        lock.lock();
        model_.endDestroy(destroying, result, mayBeCutShort(a));
        lock.unlock();
        settle(a);
    }

    void sleep(Actor& a) {
        static const cell kWorkerTimes[] = {0, -1, -250, INT_MIN, 1, 1, 2, 3};
        static const cell kMainTimes[] = {0, -1, INT_MIN, 1};
        cell ms = a.self ? pick(kWorkerTimes, a.rng) : pick(kMainTimes, a.rng);
        cell result = call(a, kSleep, ms);
        if (result != 1) {
            std::lock_guard<std::mutex> lock(model_.mutex);
            if (!mayBeCutShort(a)) {
                model_.violation("SleepThread(%d) returned %d to a thread nobody destroyed", ms,
                                 result);
            }
        }
        settle(a);
    }

    // A worker's pairs on its own thread are the lock path that takes no
    // guard, which workers run in parallel.
    void lockThread(Actor& a, bool ownThread = false) {
        bool garbage = !ownThread && a.rng() % 5 == 0;
        cell target = pick(kNeverHanded, a.rng);
        if (!garbage) {
            std::lock_guard<std::mutex> lock(model_.mutex);
            InstanceRef thread = ownThread ? a.self : model_.pickLive(a.rng);
            if (!thread) {
                return;
            }
            target = thread->id;
        }
        cell lockId = call(a, kLock, target);
        uint64_t token = nextToken_.fetch_add(1);
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            if (lockId < 0 || (garbage && lockId != 0)) {
                model_.violation("LockThread(%d) returned %d", target, lockId);
            } else if (lockId > 0) {
                model_.recordLock(lockId, *a.machine, token);
            }
        }
        settle(a);
        // Some locks are left held: the janitor or AmxUnload gives them back.
        if (lockId <= 0 || (!ownThread && a.rng() % 4 == 0)) {
            return;
        }
        if (!ownThread && a.self && a.rng() % 3 == 0) {
            call(a, kSleep, 1);
            settle(a);
        }
        unlockOwn(a, lockId, token);
    }

    void unlockOwn(Actor& a, cell lockId, uint64_t token) {
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            auto held = model_.held().find(lockId);
            if (held == model_.held().end() || held->second.owner != token ||
                held->second.taker->closing) {
                return;  // released by someone else meanwhile
            }
            model_.recordUnlock(held, call(a, kUnlock, lockId));
        }
        settle(a);
    }

    void unlockAny(Actor& a) {
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            auto& held = model_.held();
            if (held.empty() || a.rng() % 4 == 0) {
                cell never = pick(kNeverHanded, a.rng);
                cell result = call(a, kUnlock, never);
                if (result != 0) {
                    model_.violation("UnLockThread(%d) returned %d", never, result);
                }
            } else {
                auto it = std::next(held.begin(), static_cast<long>(a.rng() % held.size()));
                if (!it->second.taker->closing) {
                    model_.recordUnlock(it, call(a, kUnlock, it->first));
                }
            }
        }
        settle(a);
    }

    void tick() {
        mainLane_->step("ProcessTick");
        host->tick();
        ticks_.fetch_add(1, std::memory_order_relaxed);
    }

    // --- the actors ---

    void runPublic(MachineModel& machine, int slot, emu::Call& c) {
        cell id = c.arg(0);
        InstanceRef self;
        int entries;
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            self = machine.slots[slot];
            if (!self) {
                model_.violation("public t%d ran (id %d) with no thread created for it", slot, id);
                return;
            }
            model_.enter(self, id);
            entries = self->entries;
        }
        std::mt19937_64 rng =
            stream(settings_.seed, 1 + machine.index, machine.generation * kSlots + slot, entries);
        Actor a{&machine, self, rng, *slotLanes_[machine.index][slot]};
        struct Leave {
            StressTest& test;
            Actor& a;
            ~Leave() {
                std::lock_guard<std::mutex> lock(test.model_.mutex);
                if (a.counted) {
                    test.model_.leave(*a.self, true);
                }
            }
        } leave{*this, a};
        if (quiescing_.load()) {
            call(a, kSleep, 1);
            settle(a);
            return;
        }
        busy_.fetch_add(1);
        struct Busy {
            std::atomic<int>& busy;
            ~Busy() { busy.fetch_sub(1); }
        } busy{busy_};
        for (int n = 1 + static_cast<int>(rng() % 3); n > 0 && !quiescing_.load(); --n) {
            if (!workerOp(a)) {
                return;
            }
        }
    }

    bool workerOp(Actor& a) {
        int dice = static_cast<int>(a.rng() % 100);
        if (dice < 10) {
            create(a, kLoop);
        } else if (dice < 24) {
            create(a, kOnce);
        } else if (dice < 26) {
            createMissing(a);
        } else if (dice < 40) {
            return destroy(a);
        } else if (dice < 42) {
            return destroySelf(a);
        } else if (dice < 46) {
            destroyFreeId(a);
        } else if (dice < 64) {
            sleep(a);
        } else if (dice < 78) {
            lockThread(a);
        } else if (dice < 88) {
            for (int pairs = 0; pairs < 8; ++pairs) {
                lockThread(a, true);
            }
        } else {
            unlockAny(a);
        }
        return true;
    }

    void mainOp() {
        int dice = static_cast<int>(mainRng_() % 100);
        if (dice < 25) {
            tick();
            return;
        }
        MachineModel& machine = *machines_[mainRng_() % kMachines];
        runIn(machine, [&](Actor& a) {
            if (dice < 33) {
                create(a, kLoop);
            } else if (dice < 43) {
                create(a, kOnce);
            } else if (dice < 45) {
                createMissing(a);
            } else if (dice < 58) {
                destroy(a);
            } else if (dice < 63) {
                destroyFreeId(a);
            } else if (dice < 67) {
                sleep(a);
            } else if (dice < 82) {
                lockThread(a);
            } else {
                unlockAny(a);
            }
        });
    }

    // Gives back locks held too long, so that no waiter waits for good on a
    // lock whose taker was destroyed or simply left it.
    void janitor() {
        std::mt19937_64 rng = stream(settings_.seed, 100);
        Actor a{janitorMachine_, nullptr, rng, *janitorLane_};
        while (!stopJanitor_.load()) {
            janitorMachine_->script->run([&](emu::Call&) {
                std::lock_guard<std::mutex> lock(model_.mutex);
                auto& held = model_.held();
                auto now = Clock::now();
                for (auto it = held.begin(); it != held.end();) {
                    auto next = std::next(it);
                    if (!it->second.taker->closing &&
                        (releaseAll_.load() || now - it->second.at > kLockHeldTooLong)) {
                        model_.recordUnlock(it, call(a, kUnlock, it->first));
                    }
                    it = next;
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void stopJanitor() {
        if (janitor_.joinable()) {
            stopJanitor_ = true;
            janitor_.join();
        }
    }

    void unloadMachine(int index) {
        MachineModel& old = *machines_[index];
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            old.closing = true;
        }
        mainLane_->step("AmxUnload", index);
        EXPECT_EQ(host->unloadScript(*old.script), AMX_ERR_NONE);
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            model_.machineUnloaded(old);
        }
        old.script = nullptr;
        ++machinesUnloaded_;
        machines_[index] = loadMachine(index, old.generation + 1);
    }

    uint64_t opsIssued() {
        uint64_t sum = ticks_.load() + machinesUnloaded_;
        for (auto& count : ops_) {
            sum += count.load();
        }
        return sum;
    }

    void churn(double seconds, uint64_t opsLimit) {
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        bool unloadedOne = false;
        while (Clock::now() < end && opsIssued() < opsLimit) {
            mainOp();
            if (mainRng_() % 400 == 0) {
                unloadMachine(static_cast<int>(mainRng_() % kMachines));
                unloadedOne = true;
            }
        }
        if (!unloadedOne) {
            unloadMachine(static_cast<int>(mainRng_() % kMachines));
        }
    }

    bool waitFor(const char* what, const std::function<bool()>& cond) {
        bool met = test::eventually([&] {
            mainLane_->step(what);
            return cond();
        });
        if (!met) {
            model_.violation("gave up waiting for %s", what);
        }
        return met;
    }

    // Brings everything to rest and checks that the registry and the lock
    // table are empty and every worker is gone.
    void quiesce(int round) {
        std::string at = "round " + std::to_string(round) + ": ";
        watchdog_->phase(at + "waiting for publics to end their operations");
        quiescing_ = true;
        waitFor("busy publics", [&] { return busy_.load() == 0; });
        watchdog_->phase(at + "releasing held locks");
        releaseAll_ = true;
        waitFor("held locks", [&] {
            std::lock_guard<std::mutex> lock(model_.mutex);
            return model_.held().empty();
        });
        watchdog_->phase(at + "destroying looping threads");
        std::vector<InstanceRef> unfreed;
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            unfreed = model_.unfreed();
        }
        for (const InstanceRef& thread : unfreed) {
            if (thread->mode != kLoop) {
                continue;
            }
            runIn(*control_, [&](Actor& a) {
                std::unique_lock<std::mutex> lock(model_.mutex);
                Destroying destroying{thread->id, thread, {}};
                model_.beginDestroy(destroying);
                lock.unlock();
                cell result = call(a, kDestroy, destroying.id);
                lock.lock();
                model_.endDestroy(destroying, result, false);
            });
        }
        watchdog_->phase(at + "waiting for every worker to end");
        // Ticks start the threads that main-thread code created and did not
        // wait for, and reap.
        waitFor("workers to end", [&] {
            tick();
            return emu::countProcessThreads() == baseline_;
        });
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            for (const InstanceRef& thread : unfreed) {
                if (thread->mode == kOnce && !thread->freed && thread->exact() &&
                    (thread->entries != 1 || !thread->returned)) {
                    model_.violation("single-shot thread %d ran %d times", thread->id,
                                     thread->entries);
                }
            }
        }
        uint64_t queued;
        cell maxThreadId, maxLockId;
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            queued = onceSinceQuiesce_;
            maxThreadId = model_.maxThreadId;
            maxLockId = model_.maxLockId;
        }
        // At most one queued single-shot thread is reaped per tick.
        watchdog_->phase(at + "reaping");
        for (uint64_t i = 0; i < queued + 2; ++i) {
            tick();
        }
        watchdog_->phase(at + "checking that the tables are empty");
        runIn(*control_, [&](Actor& a) {
            for (cell id = 1; id <= maxThreadId; ++id) {
                if (cell result = call(a, kDestroy, id)) {
                    model_.violation("thread %d still in the registry at rest (result %d)", id,
                                     result);
                }
            }
            for (cell id = 1; id <= maxLockId; ++id) {
                if (cell result = call(a, kUnlock, id)) {
                    model_.violation("lock %d still held at rest (result %d)", id, result);
                }
            }
        });
        for (MachineModel* machine : loadedMachines()) {
            int error = __atomic_load_n(&machine->script->amx()->error, __ATOMIC_RELAXED);
            if (error != AMX_ERR_NONE) {
                model_.violation("machine %d left with error %d at rest", machine->index, error);
            }
        }
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            model_.forgetThreads();
            for (MachineModel* machine : loadedMachines()) {
                for (InstanceRef& slot : machine->slots) {
                    slot = nullptr;
                }
            }
            onceSinceQuiesce_ = 0;
        }
        releaseAll_ = false;
        quiescing_ = false;
    }

    std::vector<MachineModel*> loadedMachines() {
        std::vector<MachineModel*> all(machines_, machines_ + kMachines);
        all.push_back(control_);
        all.push_back(janitorMachine_);
        return all;
    }

    // Unload with workers running, sleeping, waiting for locks and locks held.
    void unloadWhileBusy() {
        watchdog_->phase("final: Unload with threads and locks alive");
        stopJanitor();
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            for (MachineModel* machine : loadedMachines()) {
                machine->closing = true;
            }
        }
        uint64_t before = model_.stoppedByUnload;
        mainLane_->step("Unload");
        host->unload();
        {
            std::lock_guard<std::mutex> lock(model_.mutex);
            for (MachineModel* machine : loadedMachines()) {
                model_.machineUnloaded(*machine);
            }
        }
        stoppedByPluginUnload_ = model_.stoppedByUnload - before;
        watchdog_->phase("final: waiting for every worker to end");
        waitFor("workers to end after Unload",
                [&] { return emu::countProcessThreads() == baseline_ - 1; });
    }

    void printFigures() {
        std::printf("[stress] seed %llu: %llu operations issued (", ull(settings_.seed),
                    ull(opsIssued()));
        for (int n = 0; n < kNativeCount; ++n) {
            std::printf("%s %llu, ", kNativeNames[n], ull(ops_[n].load()));
        }
        std::printf("ProcessTick %llu, AmxUnload %llu)\n", ull(ticks_.load()),
                    ull(machinesUnloaded_));
        std::printf(
            "[stress] threads created %llu (looping %llu, single-shot %llu); destroyed by "
            "DestroyThread %llu (own id %llu); stopped by AmxUnload %llu, by Unload %llu\n",
            ull(created_[0] + created_[1]), ull(created_[0]), ull(created_[1]),
            ull(model_.destroyedCount), ull(selfDestroyed_),
            ull(model_.stoppedByUnload - stoppedByPluginUnload_), ull(stoppedByPluginUnload_));
        std::printf(
            "[stress] machines unloaded %llu; locks taken %llu, released by id %llu; code "
            "abandoned by a shared error field %llu; invariant violations %llu\n",
            ull(machinesUnloaded_), ull(model_.locksTaken), ull(model_.locksReleased),
            ull(abandoned_.load()), ull(model_.violationCount()));
        std::fflush(stdout);
    }

    static unsigned long long ull(uint64_t value) { return value; }

    Settings settings_;
    std::unique_ptr<test::Watchdog> watchdog_;
    test::Watchdog::Lane* mainLane_ = nullptr;
    test::Watchdog::Lane* janitorLane_ = nullptr;
    test::Watchdog::Lane* slotLanes_[kMachines][kSlots] = {};
    std::mt19937_64 mainRng_;

    Model model_;
    std::vector<std::unique_ptr<MachineModel>> machinesEver_;
    MachineModel* machines_[kMachines] = {};
    MachineModel* control_ = nullptr;
    MachineModel* janitorMachine_ = nullptr;
    AMX_NATIVE natives_[kNativeCount] = {};
    std::thread janitor_;
    int baseline_ = 0;

    std::atomic<bool> quiescing_{false};
    std::atomic<bool> releaseAll_{false};
    std::atomic<bool> stopJanitor_{false};
    std::atomic<int> busy_{0};
    std::atomic<uint64_t> nextToken_{1};

    std::atomic<uint64_t> ops_[kNativeCount] = {};
    std::atomic<uint64_t> ticks_{0};
    std::atomic<uint64_t> abandoned_{0};
    // Written under the model's mutex.
    uint64_t created_[2] = {};
    uint64_t selfDestroyed_ = 0;
    uint64_t onceSinceQuiesce_ = 0;
    uint64_t machinesUnloaded_ = 0;
    uint64_t stoppedByPluginUnload_ = 0;
};

TEST_F(StressTest, RandomCallsOfEveryNativeWhileMachinesComeAndGo) {
    double perRound = settings_.seconds / (settings_.rounds + 1);
    for (int round = 1; round <= settings_.rounds; ++round) {
        watchdog_->phase("round " + std::to_string(round) + ": churn");
        churn(perRound, settings_.maxOps * round / (settings_.rounds + 1));
        quiesce(round);
    }
    watchdog_->phase("final churn");
    churn(perRound, settings_.maxOps);
    unloadWhileBusy();
    printFigures();

    for (const std::string& violation : model_.violations()) {
        ADD_FAILURE() << violation;
    }
    EXPECT_EQ(model_.violationCount(), 0u);
    EXPECT_GT(created_[0], 0u);
    EXPECT_GT(created_[1], 0u);
    EXPECT_GT(model_.destroyedCount, 0u);
    EXPECT_GT(model_.locksTaken, 0u);
}

}  // namespace
}  // namespace stress
