// The sorter's lock.

#include "python/lock.h"

#include <pthread.h>

namespace quillmere::python {

std::uintptr_t this_thread_id() noexcept {
  // The address of the thread's own descriptor: unique while it lives.
  return static_cast<std::uintptr_t>(pthread_self());
}

Guard::Guard(Lock* lock) noexcept : lock_(lock) {
  lock_->owner_.store(this_thread_id(), std::memory_order_relaxed);
}

Guard::~Guard() QM_NO_THREAD_SAFETY_ANALYSIS {
  if (lock_ == nullptr) return;
  lock_->owner_.store(0, std::memory_order_relaxed);
  lock_->mutex_.unlock();
}

State& Guard::state() noexcept QM_NO_THREAD_SAFETY_ANALYSIS { return lock_->state_; }

std::optional<Guard> Lock::try_acquire() noexcept QM_NO_THREAD_SAFETY_ANALYSIS {
  if (!mutex_.try_lock()) return std::nullopt;
  return Guard(this);
}

std::optional<Guard> Lock::acquire() noexcept QM_NO_THREAD_SAFETY_ANALYSIS {
  if (held_by_this_thread()) return std::nullopt;
  mutex_.lock();
  return Guard(this);
}

bool Lock::held_by_this_thread() const noexcept {
  return owner_.load(std::memory_order_relaxed) == this_thread_id();
}

std::optional<State> Lock::take_as_last_holder() noexcept {
  if (!made_.here()) {
    if (!mutex_.try_lock()) return std::nullopt;
  } else {
    // Nobody else can hold the mutex; taking it orders this thread after
    // the last writes of the other holders, which are gone.
    mutex_.lock();
  }
  State taken = std::exchange(state_, State(Closed{}));
  mutex_.unlock();
  return taken;
}

}  // namespace quillmere::python
