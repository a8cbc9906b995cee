// The drop-in file must load on glibc 2.17. Linked on a newer glibc, the
// static Boost and C++ runtime would ask the loader for the versions that
// glibc 2.34 gave the thread functions when it moved them from
// libpthread.so.0 into libc.so.6, and for the fstat64 function that 2.33
// first exported. Each function here takes the name those archives call,
// stays hidden inside the plugin and forwards to the version glibc 2.17
// exported. Newer glibc keeps those versions for old programs: the thread
// functions as the very code of their new versions, __fxstat64 as a
// compatibility function.
//
// The loader binds a versioned symbol in whichever loaded library defines it,
// not only in the one the link found it in (which is how programs linked
// before 2.34 find libpthread's functions in libc.so.6 today). Linked here,
// the thread functions come from libc.so.6; an older glibc has them in
// libpthread.so.0, which the plugin therefore needs (cmake/drop_in.cmake).
#include <pthread.h>
#include <sys/stat.h>

// Those versions differ by architecture: most are the first of glibc's port
// to it (2.0 on i386, 2.2.5 on x86-64, 2.4 on 32-bit ARM, 2.17 on 64-bit
// ARM), the others a version added later, where that is later still. The
// layout is the version of struct stat64 that <sys/stat.h> passed to
// __fxstat64 before 2.33 (its _STAT_VER).
#if defined(__i386__)
#define GLIBC_FIRST "GLIBC_2.0"
// pthread_create@GLIBC_2.0 takes the smaller attribute block of LinuxThreads.
#define GLIBC_THREAD_ATTRIBUTES "GLIBC_2.1"
#define GLIBC_CONDITION_CLOCK "GLIBC_2.3.3"
#define GLIBC_FXSTAT64 "GLIBC_2.2"
#define STAT64_LAYOUT 3
#elif defined(__x86_64__)
#define GLIBC_FIRST "GLIBC_2.2.5"
#define GLIBC_THREAD_ATTRIBUTES GLIBC_FIRST
#define GLIBC_CONDITION_CLOCK "GLIBC_2.3.3"
#define GLIBC_FXSTAT64 GLIBC_FIRST
#define STAT64_LAYOUT 1
#elif defined(__aarch64__)
#define GLIBC_FIRST "GLIBC_2.17"
#define GLIBC_THREAD_ATTRIBUTES GLIBC_FIRST
#define GLIBC_CONDITION_CLOCK GLIBC_FIRST
#define GLIBC_FXSTAT64 GLIBC_FIRST
#define STAT64_LAYOUT 0
#elif defined(__arm__)
#define GLIBC_FIRST "GLIBC_2.4"
#define GLIBC_THREAD_ATTRIBUTES GLIBC_FIRST
#define GLIBC_CONDITION_CLOCK GLIBC_FIRST
#define GLIBC_FXSTAT64 GLIBC_FIRST
#define STAT64_LAYOUT 3
#else
#error "no glibc 2.17 symbol versions known for this architecture"
#endif

#define HIDDEN extern "C" __attribute__((visibility("hidden")))

// Declares name_oldest as glibc's symbol name at the given version.
#define OLDEST_VERSION(name, type, version)  \
    extern "C" decltype(type) name##_oldest; \
    __asm__(".symver " #name "_oldest, " #name "@" version)

OLDEST_VERSION(pthread_create, pthread_create, GLIBC_THREAD_ATTRIBUTES);
OLDEST_VERSION(pthread_join, pthread_join, GLIBC_FIRST);
OLDEST_VERSION(pthread_detach, pthread_detach, GLIBC_FIRST);
OLDEST_VERSION(pthread_once, pthread_once, GLIBC_FIRST);
OLDEST_VERSION(pthread_key_create, pthread_key_create, GLIBC_FIRST);
// The C++ runtime looks this alias up, weakly, to tell whether the process
// has threads at all.
OLDEST_VERSION(__pthread_key_create, pthread_key_create, GLIBC_FIRST);
OLDEST_VERSION(pthread_key_delete, pthread_key_delete, GLIBC_FIRST);
OLDEST_VERSION(pthread_getspecific, pthread_getspecific, GLIBC_FIRST);
OLDEST_VERSION(pthread_setspecific, pthread_setspecific, GLIBC_FIRST);
OLDEST_VERSION(pthread_condattr_setclock, pthread_condattr_setclock, GLIBC_CONDITION_CLOCK);
// Workers start with a stack size of their own.
OLDEST_VERSION(pthread_attr_setstacksize, pthread_attr_setstacksize, GLIBC_THREAD_ATTRIBUTES);

extern "C" int __fxstat64_oldest(int layout, int fd, struct stat64* status) noexcept;
__asm__(".symver __fxstat64_oldest, __fxstat64@" GLIBC_FXSTAT64);

HIDDEN int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*routine)(void*), void* argument) noexcept {
    return pthread_create_oldest(thread, attributes, routine, argument);
}

HIDDEN int pthread_join(pthread_t thread, void** result) {
    return pthread_join_oldest(thread, result);
}

HIDDEN int pthread_detach(pthread_t thread) noexcept {
    return pthread_detach_oldest(thread);
}

HIDDEN int pthread_once(pthread_once_t* once, void (*routine)()) {
    return pthread_once_oldest(once, routine);
}

HIDDEN int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) noexcept {
    return pthread_key_create_oldest(key, destructor);
}

HIDDEN int __pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) noexcept {
    return __pthread_key_create_oldest(key, destructor);
}

HIDDEN int pthread_key_delete(pthread_key_t key) noexcept {
    return pthread_key_delete_oldest(key);
}

HIDDEN void* pthread_getspecific(pthread_key_t key) noexcept {
    return pthread_getspecific_oldest(key);
}

HIDDEN int pthread_setspecific(pthread_key_t key, const void* value) noexcept {
    return pthread_setspecific_oldest(key, value);
}

HIDDEN int pthread_condattr_setclock(pthread_condattr_t* attributes, clockid_t clock) noexcept {
    return pthread_condattr_setclock_oldest(attributes, clock);
}

HIDDEN int pthread_attr_setstacksize(pthread_attr_t* attributes, size_t size) noexcept {
    return pthread_attr_setstacksize_oldest(attributes, size);
}

// Before 2.33, <sys/stat.h> made fstat64 an inline call of __fxstat64.
HIDDEN int fstat64(int fd, struct stat64* status) noexcept {
    return __fxstat64_oldest(STAT64_LAYOUT, fd, status);
}
