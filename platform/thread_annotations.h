// Thread-safety annotations: with clang's -Wthread-safety the compiler checks that every member
// marked "guarded by" a lock is touched only with that lock held. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define MORVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MORVANE_THREAD_ANNOTATION(x)
#endif

// On a class: it is a lock.
#define MORVANE_CAPABILITY(name) MORVANE_THREAD_ANNOTATION(capability(name))
// On a class: it holds a lock from construction to destruction.
#define MORVANE_SCOPED_CAPABILITY MORVANE_THREAD_ANNOTATION(scoped_lockable)
// On a member: read and written only with the lock held.
#define MORVANE_GUARDED_BY(lock) MORVANE_THREAD_ANNOTATION(guarded_by(lock))
// On a function: it takes, gives back, or needs the lock (or must be called without it).
#define MORVANE_ACQUIRE(...) MORVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define MORVANE_RELEASE(...) MORVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define MORVANE_REQUIRES(...) MORVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define MORVANE_EXCLUDES(...) MORVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
