// Clang's thread-safety attributes, so that the compiler checks which lock
// guards which member. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define ORVALA_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define ORVALA_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) ORVALA_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY ORVALA_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) ORVALA_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) ORVALA_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) ORVALA_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ORVALA_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ORVALA_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ORVALA_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) ORVALA_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) ORVALA_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ORVALA_THREAD_ATTRIBUTE(no_thread_safety_analysis)
