#include "natives/thread_natives.h"

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>

#include "host/host.h"
#include "host/script_file.h"
#include "natives/native_call.h"
#include "natives/public_name.h"
#include "threads/s_manager.h"

namespace {

cell createThread(AMX* amx, const cell* params, ThreadMode mode) {
    char name[kMaxPublicName + 1];
    if (!ReadPublicName(amx, params[1], name)) {
        return 0;
    }
    int index = 0;
    if (host::FindPublic(amx, name, &index) != AMX_ERR_NONE) {
        return 0;
    }
    return g_manager->Create(amx, index, mode);
}

// A sleep until a wall-clock time in Boost wakes every 100 ms to look for
// clock changes, which thousands of sleeping script threads turn into a busy
// process. A sleep for the time left wakes only at its end, and is checked
// against the wall clock again then: a clock set back still sleeps to the
// deadline; one set forward is noticed when the time left has passed. A
// worker's sleep ends when its thread stops: then it returns false.
bool sleepUntil(const boost::posix_time::ptime& deadline, S_Thread* self) {
    for (;;) {
        boost::posix_time::time_duration left =
            deadline - boost::posix_time::microsec_clock::universal_time();
        if (self != nullptr && self->state() != ThreadState::Running) {
            return false;
        }
        if (left <= boost::posix_time::seconds(0)) {
            return true;
        }
        if (self == nullptr) {
            boost::this_thread::sleep(left);
        } else if (!self->sleepFor(left)) {
            return false;
        }
    }
}

}  // namespace

cell n_CreateThread(AMX* amx, cell* params) {
    return nativeCall(amx, [&] { return createThread(amx, params, MODE_LOOP); });
}

cell n_CreateThreadEx(AMX* amx, cell* params) {
    return nativeCall(amx, [&] { return createThread(amx, params, MODE_ONCE); });
}

cell n_DestroyThread(AMX* amx, cell* params) {
    return nativeCall<MayEnd::Yes>(amx, [&]() -> cell {
        S_Thread* self = S_Thread::current();
        return g_manager->Destroy(params[1], amx, self) ? 1 : 0;
    });
}

cell n_SleepThread(AMX* amx, cell* params) {
    return nativeCall<MayEnd::Yes>(amx, [&]() -> cell {
        S_Thread* self = S_Thread::current();
        // A worker whose thread is stopping ends here, even with a deadline
        // already past.
        bool ended = !g_manager->BeginSleep(amx, self);
        if (!ended) {
            // EndSleep must follow whatever happens here.
            try {
                ended = !sleepUntil(boost::posix_time::microsec_clock::universal_time() +
                                        boost::posix_time::microseconds(
                                            static_cast<int64_t>(params[1]) * 1000000 / 1000),
                                    self);
            } catch (...) {
            }
        }
        return g_manager->EndSleep(amx, self, ended) ? 0 : 1;
    });
}
