// Which OS thread is calling, for any thread: the server's, a worker, or one
// the threading library did not start. Neither call allocates.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

using OsThread = uintptr_t;

inline OsThread currentOsThread() {
#ifdef _WIN32
    return static_cast<OsThread>(GetCurrentThreadId());
#else
    return static_cast<OsThread>(pthread_self());
#endif
}
