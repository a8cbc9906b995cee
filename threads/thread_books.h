#pragma once

#include <atomic>
#include <cstddef>
#include <map>

#include <boost/intrusive/list.hpp>

#include "common/id_pool.h"
#include "common/registry_guard.h"
#include "host/host_api.h"
#include "threads/s_thread.h"
#include "threads/thread_state.h"

using ThreadQueue = boost::intrusive::list<
    S_Thread, boost::intrusive::member_hook<S_Thread, boost::intrusive::list_member_hook<>,
                                            &S_Thread::queueHook>>;

// The registry's books of its threads, which every change of a thread's
// state keeps in step with it (transition()).
struct ThreadBooks {
    // The thread under this id, or null.
    S_Thread* find(cell id) const VANTREL_REQUIRES(registryGuard) {
        auto entry = byId.find(id);
        return entry == byId.end() ? nullptr : entry->second;
    }
    // Frees the thread's id, unless it was freed already (a newer thread may
    // hold it since).
    void releaseId(S_Thread& thread) VANTREL_REQUIRES(registryGuard);

    // Threads by id, from Create until the id is freed: at once for a thread
    // that destroyed itself, once its worker has ended for any other.
    std::map<cell, S_Thread*> byId VANTREL_GUARDED_BY(registryGuard);
    IdPool ids VANTREL_GUARDED_BY(registryGuard);
    ThreadQueue finished VANTREL_GUARDED_BY(registryGuard);  // oldest first
    ThreadQueue ended VANTREL_GUARDED_BY(registryGuard);
    // finished and ended together. Read by the idle tick without the guard:
    // a thread it misses is reaped by the next tick.
    std::atomic<size_t> pending{0};
};

// The one way a thread's state changes: applies the event as nextState()
// says, and keeps the books with it. Returns false when the event changes
// nothing in the thread's state.
bool transition(S_Thread& thread, ThreadEvent event, ThreadBooks& books)
    VANTREL_REQUIRES(registryGuard);
