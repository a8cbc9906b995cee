#include "threads/thread_natives.h"

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>

#include "plugin/globals.h"
#include "plugin/host.h"
#include "plugin/shield.h"
#include "threads/s_manager.h"

namespace {

// The longest public name any Pawn compiler accepts; a longer string cannot
// name a public, and the name buffer stays on the stack.
const int kMaxPublicName = 63;

cell createThread(AMX* amx, const cell* params, cell mode) {
    cell* cells = nullptr;
    if (host::GetAddr(amx, params[1], &cells) != AMX_ERR_NONE || cells == nullptr) {
        return 0;
    }
    int length = 0;
    host::StrLen(cells, &length);
    if (length <= 0 || length > kMaxPublicName) {
        return 0;
    }
    char name[kMaxPublicName + 1];
    host::GetString(name, cells, length + 1);
    return g_manager->Create(name, amx, mode);
}

// Boost's sleep until a wall-clock time wakes every 100 ms to look for clock
// changes, which thousands of sleeping script threads turn into a busy
// process. A sleep for the time left wakes only at its end, and is checked
// against the wall clock again then: a clock set back still sleeps to the
// deadline; one set forward is noticed when the time left has passed.
void sleepUntil(const boost::posix_time::ptime& deadline) {
    for (;;) {
        boost::posix_time::time_duration left =
            deadline - boost::posix_time::microsec_clock::universal_time();
        if (left <= boost::posix_time::seconds(0)) {
            return;
        }
        boost::this_thread::sleep(left);
    }
}

}  // namespace

cell n_CreateThread(AMX* amx, cell* params) {
    return shielded([&] { return createThread(amx, params, MODE_LOOP); });
}

cell n_CreateThreadEx(AMX* amx, cell* params) {
    return shielded([&] { return createThread(amx, params, MODE_ONCE); });
}

cell n_DestroyThread(AMX*, cell* params) {
    return shielded([&] { return g_manager->Destroy(params[1]); });
}

cell n_SleepThread(AMX* amx, cell* params) {
    return shielded([&]() -> cell {
        try {
            // Even a deadline already past ends a worker whose thread is being
            // destroyed.
            boost::this_thread::interruption_point();
            sleepUntil(
                boost::posix_time::microsec_clock::universal_time() +
                boost::posix_time::microseconds(static_cast<int64_t>(params[1]) * 1000000 / 1000));
        } catch (const boost::thread_interrupted&) {
            S_Thread::abandonPublic(amx);
            return 0;
        }
        return 1;
    });
}
