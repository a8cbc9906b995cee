#include <windows.h>

#include "tests/support.h"

namespace test {

pid_t osThreadId() {
    return static_cast<pid_t>(GetCurrentThreadId());
}

// Windows keeps no scheduler state that a program can read and wine fills in.
// A thread counts as blocked once it has used no processor time for a span
// many times the resolution of the thread clock (10 to 16 ms): one that runs
// script code or spins is charged time within that span.
bool blocks(const std::atomic<pid_t>& tid) {
    constexpr std::chrono::milliseconds kIdleSpan{150};
    HANDLE thread = nullptr;
    ULONGLONG charged = ~0ull;
    auto idleSince = std::chrono::steady_clock::now();
    bool blocked = eventually([&] {
        if (thread == nullptr && tid != 0) {
            thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(tid));
        }
        FILETIME created, exited, kernel, user;
        if (thread == nullptr || !GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
            return false;
        }
        auto ticks = [](const FILETIME& time) {
            return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
        };
        ULONGLONG now = ticks(kernel) + ticks(user);
        if (now != charged) {
            charged = now;
            idleSince = std::chrono::steady_clock::now();
            return false;
        }
        return std::chrono::steady_clock::now() - idleSince >= kIdleSpan;
    });
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    return blocked;
}

bool threadGone(pid_t tid) {
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(tid));
    if (thread == nullptr) {
        return true;
    }
    bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}

}  // namespace test
