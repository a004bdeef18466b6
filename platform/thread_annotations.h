#pragma once
// Clang thread-safety annotations (-Wthread-safety) behind small macros; they expand to nothing
// under other compilers, so GCC builds see plain declarations.

#if defined(__clang__)
#define VK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VK_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) VK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VK_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VK_THREAD_ANNOTATION(no_thread_safety_analysis)
