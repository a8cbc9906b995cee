#pragma once

#include <atomic>
#include <cstddef>

#include <boost/intrusive/list.hpp>

#include "common/chunked_table.h"
#include "common/id_pool.h"
#include "common/registry_guard.h"
#include "host/host_api.h"
#include "locks/mutex_pool.h"
#include "locks/script_mutex.h"
#include "threads/s_thread.h"
#include "threads/thread_state.h"

using ThreadQueue = boost::intrusive::list<
    S_Thread, boost::intrusive::member_hook<S_Thread, boost::intrusive::list_member_hook<>,
                                            &S_Thread::queueHook>>;
// New threads of shared machines waiting to start, oldest first.
struct PendingList
    : boost::intrusive::list<
          S_Thread, boost::intrusive::member_hook<S_Thread, boost::intrusive::list_member_hook<>,
                                                  &S_Thread::pendingHook>> {};
using AwaitList = boost::intrusive::list<
    S_Thread, boost::intrusive::member_hook<S_Thread, boost::intrusive::list_member_hook<>,
                                            &S_Thread::awaitHook>>;

// What the code of one creator, a worker or the server's code of one script,
// created in shared machines and has yet to see arrive, so that its waits
// look at its own threads alone.
struct Creations {
    // Not yet let start: the code has not waited since it created them.
    PendingList created VANTREL_GUARDED_BY(registryGuard);
    // Let start, and not yet arrived: the code waits for them.
    AwaitList awaited VANTREL_GUARDED_BY(registryGuard);
};

// What the books keep under one thread id: the thread, and its mutex for the
// lock path, which reads it without the guard.
struct ThreadEntry {
    S_Thread* thread VANTREL_GUARDED_BY(registryGuard) = nullptr;
    std::atomic<ScriptMutex*> mutex{nullptr};
};

// The registry's books of its threads, which every change of a thread's
// state keeps in step with it (transition()).
struct ThreadBooks {
    // The thread under this id, or null.
    S_Thread* find(cell id) const VANTREL_REQUIRES(registryGuard) {
        const ThreadEntry* entry = entryOf(id);
        return entry == nullptr ? nullptr : entry->thread;
    }
    // The mutex of the thread under this id, or null. Any thread, without
    // the guard: a mutex stays in the pool, so what a look finds is a mutex
    // of the thread or, if that thread has gone meanwhile, of some thread
    // whose id its owner names.
    ScriptMutex* mutexOf(cell id) const noexcept {
        const ThreadEntry* entry = entryOf(id);
        return entry == nullptr ? nullptr : entry->mutex.load(std::memory_order_acquire);
    }
    ThreadEntry* entryOf(cell id) const noexcept {
        return id >= 1 ? byId.find(static_cast<size_t>(id) - 1) : nullptr;
    }
    // Enters a new thread under its id, which reserve() set aside.
    void add(S_Thread& thread) VANTREL_REQUIRES(registryGuard);
    // Sets aside an id and its entry; throws std::bad_alloc and changes
    // nothing when there is no memory for them.
    void reserve() VANTREL_REQUIRES(registryGuard);
    // Frees the thread's id, unless it was freed already (a newer thread may
    // hold it since).
    void releaseId(S_Thread& thread) VANTREL_REQUIRES(registryGuard);
    // Every thread of a shared machine from its creation, among what its
    // creator created, until it has arrived: entered a native of its own or
    // returned from its public, or left Unstarted without starting.
    void addStart(S_Thread& thread, Creations& creator) VANTREL_REQUIRES(registryGuard);
    void removeStart(S_Thread& thread) VANTREL_REQUIRES(registryGuard);
    // Moves it from the list it waits to start in to another, or to none.
    static void movePending(S_Thread& thread, PendingList* to) VANTREL_REQUIRES(registryGuard);

    // Entry i is the thread with id i + 1, from Create until the id is freed:
    // at once for a thread that destroyed itself, once its worker has ended
    // for any other. Ids are the smallest free, so the entries are dense, and
    // there are at least as many as ids taken and reserved. Written under the
    // guard; its chunks stay, for the lock path's reads.
    ChunkedTable<ThreadEntry, 8, (MutexPool::kCapacity >> 8)> byId;
    IdPool ids VANTREL_GUARDED_BY(registryGuard);
    ThreadQueue finished VANTREL_GUARDED_BY(registryGuard);  // oldest first
    ThreadQueue ended VANTREL_GUARDED_BY(registryGuard);
    // finished and ended together. Read by the idle tick without the guard:
    // a thread it misses is reaped by the next tick.
    std::atomic<size_t> pending{0};
    // Threads from their creation to their arrival. Written under the guard,
    // read without it by every native that waits, and by the tick: none of
    // the caller's threads can be missing from it, since the caller created
    // them itself.
    std::atomic<size_t> startsPending{0};
};

// The one way a thread's state changes: applies the event as nextState()
// says, and keeps the books with it. Returns false when the event changes
// nothing in the thread's state.
bool transition(S_Thread& thread, ThreadEvent event, ThreadBooks& books)
    VANTREL_REQUIRES(registryGuard);
