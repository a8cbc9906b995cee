// Clang's thread-safety annotations, which the analysis preset checks: what
// a field is guarded by and what a function needs held. Other compilers
// ignore them.
#pragma once

#if defined(__clang__)
#define VANTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANTREL_THREAD_ANNOTATION(x)
#endif

#define VANTREL_CAPABILITY(x) VANTREL_THREAD_ANNOTATION(capability(x))
#define VANTREL_SCOPED_CAPABILITY VANTREL_THREAD_ANNOTATION(scoped_lockable)
#define VANTREL_GUARDED_BY(x) VANTREL_THREAD_ANNOTATION(guarded_by(x))
#define VANTREL_REQUIRES(...) VANTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VANTREL_EXCLUDES(...) VANTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define VANTREL_ACQUIRE(...) VANTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VANTREL_RELEASE(...) VANTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// For a read that needs no guard, with the reason at the function.
#define VANTREL_NO_THREAD_SAFETY_ANALYSIS VANTREL_THREAD_ANNOTATION(no_thread_safety_analysis)
