// Annotations that let clang's -Wthread-safety check which lock guards which state. They expand
// to nothing for other compilers.
#pragma once

#if defined(__clang__)
#define KEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KEX_THREAD_ANNOTATION(x)
#endif

// On a type: its objects are locks.
#define CAPABILITY(name) KEX_THREAD_ANNOTATION(capability(name))
// On a type: its objects hold a lock from construction to destruction.
#define SCOPED_CAPABILITY KEX_THREAD_ANNOTATION(scoped_lockable)
// On a member: read and written only with the lock held.
#define GUARDED_BY(lock) KEX_THREAD_ANNOTATION(guarded_by(lock))
// On a pointer member: what it points to is read and written only with the lock held.
#define PT_GUARDED_BY(lock) KEX_THREAD_ANNOTATION(pt_guarded_by(lock))
// On a function: the caller holds the locks.
#define REQUIRES(...) KEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// On a function: the caller does not hold the locks (the function takes them).
#define EXCLUDES(...) KEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// On a function: it takes the locks (or, without arguments, the object's own) and returns with
// them held.
#define ACQUIRE(...) KEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// On a function: it lets go of locks it was called with.
#define RELEASE(...) KEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// On a function: it returns the lock that guards what the caller is about to touch.
#define RETURN_CAPABILITY(lock) KEX_THREAD_ANNOTATION(lock_returned(lock))
// On a function whose locking the analysis cannot follow; say why wherever it is used.
#define NO_THREAD_SAFETY_ANALYSIS KEX_THREAD_ANNOTATION(no_thread_safety_analysis)
