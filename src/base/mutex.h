// A mutex and its scoped lock, annotated so that clang's -Wthread-safety
// checks every field declared QM_GUARDED_BY: touching one without holding
// its mutex fails the clang builds. On other compilers the annotations
// expand to nothing and these are plain std::mutex and std::unique_lock.
//
// Memory ordering: as std::mutex; whatever a holder wrote before unlocking
// is visible to the next thread that locks.

#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QM_THREAD_ANNOTATION(x)
#endif

#define QM_CAPABILITY(x) QM_THREAD_ANNOTATION(capability(x))
#define QM_SCOPED_CAPABILITY QM_THREAD_ANNOTATION(scoped_lockable)
#define QM_GUARDED_BY(x) QM_THREAD_ANNOTATION(guarded_by(x))
#define QM_REQUIRES(...) QM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QM_ACQUIRE(...) QM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QM_RELEASE(...) QM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QM_TRY_ACQUIRE(...) QM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QM_NO_THREAD_SAFETY_ANALYSIS QM_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace quillmere {

class QM_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() QM_ACQUIRE() { mu_.lock(); }
  void unlock() QM_RELEASE() { mu_.unlock(); }
  bool try_lock() QM_TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  friend class MutexLock;
  std::mutex mu_;
};

// Holds a Mutex from construction until unlock() or destruction. Waiting on
// a condition releases the mutex meanwhile and holds it again on return, so
// to the analysis it stays held throughout.
class QM_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) QM_ACQUIRE(mu) : lock_(mu.mu_) {}
  ~MutexLock() QM_RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Lets go early; the destructor then does nothing.
  void unlock() QM_RELEASE() { lock_.unlock(); }

  void wait(std::condition_variable& cv) { cv.wait(lock_); }
  std::cv_status wait_until(std::condition_variable& cv,
                            std::chrono::steady_clock::time_point deadline) {
    return cv.wait_until(lock_, deadline);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace quillmere
