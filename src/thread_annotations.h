// Annotations for clang's -Wthread-safety analysis; they expand to nothing
// on other compilers.

#pragma once

#if defined(__clang__)
#define QM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QM_THREAD_ANNOTATION(x)
#endif

#define QM_GUARDED_BY(x) QM_THREAD_ANNOTATION(guarded_by(x))
#define QM_REQUIRES(...) QM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QM_EXCLUDES(...) QM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
