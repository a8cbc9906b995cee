#pragma once

#include <atomic>

#include "host/host_api.h"
#include "natives/end_public.h"
#include "threads/s_manager.h"
#include "threads/s_thread.h"

// What every native of the plugin does around its work, which gets the
// calling worker's script thread, or null on any other thread.
//
// A worker that has started reaches a native of its own here, and the code
// that created it may go on. A worker whose public must end has its end
// raised again on the way in, where the native does nothing else, and on the
// way out: the machine's one error field may have been cleared by another
// thread's native call before the machine read it.
//
// The script machine is C: no exception may unwind through it. A native whose
// work throws did nothing the script can rely on, so it returns 0.
template <typename Work>
cell nativeCall(AMX* amx, Work work) noexcept {
    try {
        S_Thread* self = S_Thread::current();
        if (self != nullptr) {
            if (self->arriving.load(std::memory_order_acquire)) {
                g_manager->Arrive(*self);
            }
            if (self->ending.load(std::memory_order_acquire)) {
                endPublicIn(g_manager->EndAgain(*self, amx));
                return 0;
            }
        }
        cell result = work(self);
        if (self != nullptr && self->ending.load(std::memory_order_acquire)) {
            endPublicIn(g_manager->EndAgain(*self, amx));
        }
        return result;
    } catch (...) {
        return 0;
    }
}
