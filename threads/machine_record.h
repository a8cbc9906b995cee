#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <boost/intrusive/list.hpp>

#include "common/registry_guard.h"
#include "host/host_api.h"
#include "own_machine/script_room.h"
#include "threads/s_thread.h"
#include "threads/thread_books.h"

using ThreadList = boost::intrusive::list<
    S_Thread, boost::intrusive::member_hook<S_Thread, boost::intrusive::list_member_hook<>,
                                            &S_Thread::machineHook>>;

// What the registry keeps of one script machine, from AmxLoad to AmxUnload.
struct MachineRecord {
    // Moves the script's data block when its workers get machines of their
    // own; throws std::bad_alloc when there is no room for them.
    explicit MachineRecord(AMX* amx)
        : amx(amx), room(wantsOwnMachines(amx) ? std::make_unique<ScriptRoom>(amx) : nullptr) {}
    MachineRecord(const MachineRecord&) = delete;
    MachineRecord& operator=(const MachineRecord&) = delete;

    AMX* const amx;
    // Where its workers' machines are, or null when they share the script's
    // (threads/s_manager_starts.cpp says how they keep out of each other's
    // way then). Given back to the host with the record.
    const std::unique_ptr<ScriptRoom> room;
    // Being unloaded: it gets no new threads or locks, and its workers stop
    // waiting for locks and for other threads' destruction.
    // Written under the guard; read without it by the lock path of its own
    // workers, whose locks taken as it began closing its close gives back
    // once they have stopped.
    std::atomic<bool> closing{false};
    // Its slot in the script index, which its held locks record. Set before
    // any thread of the script exists, and fixed after.
    uint32_t slot = 0;
    // Workers abandoning a public in this machine. Its error field is one for
    // all of them: only the last may clear it, or another's public would run
    // on past the native that ended it.
    int abandoning VANTREL_GUARDED_BY(registryGuard) = 0;
    // Workers of other scripts blocked in a native its code called.
    int visitors VANTREL_GUARDED_BY(registryGuard) = 0;
    // Its one thread that has started and not yet arrived: two new workers
    // that pushed and entered at once would take each other's stack.
    S_Thread* starting VANTREL_GUARDED_BY(registryGuard) = nullptr;
    // The threads the server's code created in it that have not arrived.
    Creations serverCreations;
    // Threads whose creators let them start, oldest first: one at a time.
    PendingList startQueue VANTREL_GUARDED_BY(registryGuard);
    // Every script thread it created, until the thread is freed.
    ThreadList threads VANTREL_GUARDED_BY(registryGuard);
};
