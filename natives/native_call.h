#pragma once

#include <atomic>

#include "host/host_api.h"
#include "natives/end_public.h"
#include "threads/s_manager.h"
#include "threads/s_thread.h"

// Whether a native's work may decide that the calling worker's public ends:
// the natives that wait.
enum class MayEnd { No, Yes };

// What every native of the plugin does around its work.
//
// A worker that has started reaches a native of its own here, and the code
// that created it may go on. A worker whose public must end has its end
// raised again on the way in, where the native does nothing else, and on the
// way out of a native that may have decided it: the machine's one error
// field may have been cleared by another thread's native call before the
// machine read it. While no worker is starting or ending, which is almost
// always, that costs a look at one counter each way.
//
// The script machine is C: no exception may unwind through it. A native whose
// work throws did nothing the script can rely on, so it returns 0.
template <MayEnd mayEnd = MayEnd::No, typename Work>
cell nativeCall(AMX* amx, Work work) noexcept {
    try {
        if (g_manager->Unsettled()) {
            if (S_Thread* self = S_Thread::current()) {
                if (self->arriving.load(std::memory_order_acquire)) {
                    g_manager->Arrive(*self);
                }
                if (self->ending.load(std::memory_order_acquire)) {
                    endPublicIn(g_manager->EndAgain(*self, amx));
                    return 0;
                }
            }
        }
        cell result = work();
        if (mayEnd == MayEnd::Yes && g_manager->Unsettled()) {
            S_Thread* self = S_Thread::current();
            if (self != nullptr && self->ending.load(std::memory_order_acquire)) {
                endPublicIn(g_manager->EndAgain(*self, amx));
            }
        }
        return result;
    } catch (...) {
        return 0;
    }
}
