// Clang's thread-safety annotations (-Wthread-safety), spelled as macros that vanish under
// compilers without them. Header-only; no state.
#pragma once

#if defined(__clang__)
#define HC_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HC_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) HC_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY HC_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) HC_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HC_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) HC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) HC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) HC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) HC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS HC_THREAD_ANNOTATION(no_thread_safety_analysis)
