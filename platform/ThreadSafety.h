// Clang thread-safety attributes: the lock a member is guarded by, the locks a function needs,
// takes or gives back, written where a comment would say it, so that a Clang build with
// -Wthread-safety checks them (scripts/ci-thread-safety.sh). Other compilers see nothing.
// Headers only; no thread calls anything here.
#ifndef CAVIX_PLATFORM_THREADSAFETY_H
#define CAVIX_PLATFORM_THREADSAFETY_H

#if defined(__clang__)
#define CAVIX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CAVIX_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks ("mutex").
#define CAPABILITY(x) CAVIX_THREAD_ANNOTATION(capability(x))
// A class that holds a lock for its own lifetime (a scope guard).
#define SCOPED_CAPABILITY CAVIX_THREAD_ANNOTATION(scoped_lockable)

// A member read or written only while holding the lock.
#define GUARDED_BY(x) CAVIX_THREAD_ANNOTATION(guarded_by(x))
// A pointer member whose pointee is read or written only while holding the lock.
#define PT_GUARDED_BY(x) CAVIX_THREAD_ANNOTATION(pt_guarded_by(x))
// Lock order: this lock is taken before (after) the ones named.
#define ACQUIRED_BEFORE(...) CAVIX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) CAVIX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller holds the locks named (and keeps them).
#define REQUIRES(...) CAVIX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes the locks named, or, on a lock or scope guard, the object itself.
#define ACQUIRE(...) CAVIX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function gives back the locks named, or the object itself.
#define RELEASE(...) CAVIX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the lock when it returns the first argument.
#define TRY_ACQUIRE(...) CAVIX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the locks named (the function takes them itself).
#define EXCLUDES(...) CAVIX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function returns (a reference to) the lock named.
#define RETURN_CAPABILITY(x) CAVIX_THREAD_ANNOTATION(lock_returned(x))

// The function's body is not checked. Only for what the analysis cannot follow (a lock taken
// again by its owner, a lock taken in one function and given back in another), with a comment
// saying why.
#define NO_THREAD_SAFETY_ANALYSIS CAVIX_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif
