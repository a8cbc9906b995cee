#pragma once

#include <boost/intrusive/list.hpp>

#include "locks/thread_lock.h"
#include "plugin/host_api.h"
#include "threads/s_thread.h"

using ThreadList = boost::intrusive::list<
    S_Thread, boost::intrusive::member_hook<S_Thread, boost::intrusive::list_member_hook<>,
                                            &S_Thread::machineHook>>;

// What the registry keeps of one script machine, from AmxLoad to AmxUnload.
// All of it is the registry's, under its guard.
struct MachineRecord {
    explicit MachineRecord(AMX* amx) : amx(amx) {}
    MachineRecord(const MachineRecord&) = delete;
    MachineRecord& operator=(const MachineRecord&) = delete;

    AMX* const amx;
    // Being unloaded: it gets no new threads or locks, and its workers stop
    // waiting for locks and for other threads' destruction.
    bool closing = false;
    // Workers abandoning a public in this machine. Its error field is one for
    // all of them: only the last may clear it, or another's public would run
    // on past the native that ended it.
    int abandoning = 0;
    // Workers of other scripts blocked in a native its code called.
    int visitors = 0;
    // Every script thread it created, until the thread is freed.
    ThreadList threads;
    // Every lock it took and still holds.
    LockList locks;
};
