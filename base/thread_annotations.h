// The attributes of clang's thread-safety analysis (-Wthread-safety): which mutex guards a
// member, which a function needs held or takes, which object is a lock. Other compilers see
// nothing. The analysis only knows the types that carry them (base/mutex.h), not std::mutex.
#pragma once

#if defined(__clang__)
#define PB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PB_THREAD_ANNOTATION(x)
#endif

// A type that is a lock (a "capability"), and a type whose objects hold one for their scope.
#define CAPABILITY(x) PB_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PB_THREAD_ANNOTATION(scoped_lockable)

// A member read or written only with the mutex held (GUARDED_BY), or whose pointee is.
#define GUARDED_BY(x) PB_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) PB_THREAD_ANNOTATION(pt_guarded_by(x))

// Mutexes that are only ever taken in this order.
#define ACQUIRED_BEFORE(...) PB_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) PB_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// A function called with the mutex held (REQUIRES), or without it (EXCLUDES: it takes it).
#define REQUIRES(...) PB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) PB_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) PB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// A function that takes or gives back the mutex (no argument: the object itself).
#define ACQUIRE(...) PB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) PB_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) PB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) PB_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) PB_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PB_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) PB_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) PB_THREAD_ANNOTATION(lock_returned(x))

// Turns the analysis off for one function; every use says why the analysis cannot follow it.
#define NO_THREAD_SAFETY_ANALYSIS PB_THREAD_ANNOTATION(no_thread_safety_analysis)
