// Clang's thread-safety annotations; empty for other compilers.
#pragma once

#if defined(__clang__)
#define KT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KT_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KT_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KT_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KT_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KT_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KT_THREAD_ANNOTATION(no_thread_safety_analysis)
#define ACQUIRED_BEFORE(...) KT_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KT_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
