// Worker pool threads and their queue.

#include "base/pool.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>

namespace quillmere {

OutsideSignalsBlocked::OutsideSignalsBlocked() noexcept {
  sigset_t outside;
  sigfillset(&outside);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
    sigdelset(&outside, fault);
  }
  pthread_sigmask(SIG_BLOCK, &outside, &previous_);
}

OutsideSignalsBlocked::~OutsideSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void name_thread(std::thread& thread, const std::string& name) noexcept {
  // The kernel refuses names of 16 bytes or more, so cut to the 15 it keeps.
  pthread_setname_np(thread.native_handle(), name.substr(0, 15).c_str());
}

Result<std::shared_ptr<WorkerPool>> WorkerPool::start(std::size_t threads) {
  if (threads > kMaxThreads) {
    return fail(Error::io(IoKind::Other, "a worker pool has at most 65535 threads, not " +
                                             std::to_string(threads)));
  }
  // In a forked child the pool is left as it is: its threads are not there,
  // and destroying its lock or condition variable would wait for them.
  std::shared_ptr<WorkerPool> pool(new WorkerPool(), [](WorkerPool* p) {
    if (p->made_.here()) delete p;
  });
  try {
    pool->threads_.reserve(threads);
    const OutsideSignalsBlocked blocked;
    for (std::size_t i = 0; i < threads; ++i) {
      pool->threads_.emplace_back([raw = pool.get()] { raw->work(); });
      name_thread(pool->threads_.back(), "quillmere-sort-" + std::to_string(i));
    }
  } catch (const std::exception& e) {
    // The threads started so far are joined by the pool's destructor.
    return fail(Error::io(IoKind::Other, std::string("cannot start the worker pool: ") + e.what()));
  }
  return pool;
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() noexcept {
  {
    MutexLock lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::submit(std::function<void()> task, const void* owner) {
  {
    MutexLock lock(mu_);
    tasks_.push_back(Task{std::move(task), owner});
  }
  wake_.notify_one();
}

bool WorkerPool::run_one_of(const void* owner) {
  std::function<void()> task;
  {
    MutexLock lock(mu_);
    if (paused_) return false;
    auto it = std::find_if(tasks_.begin(), tasks_.end(),
                           [owner](const Task& t) { return t.owner == owner; });
    if (it == tasks_.end()) return false;
    task = std::move(it->run);
    tasks_.erase(it);
  }
  task();
  return true;
}

void WorkerPool::pause() {
  MutexLock lock(mu_);
  paused_ = true;
}

void WorkerPool::resume() {
  {
    MutexLock lock(mu_);
    paused_ = false;
  }
  wake_.notify_all();
}

void WorkerPool::work() {
  for (;;) {
    std::function<void()> task;
    {
      MutexLock lock(mu_);
      // Stopping outranks a pause: the queued tasks still run.
      while ((tasks_.empty() || paused_) && !stopping_) lock.wait(wake_);
      if (tasks_.empty()) return;  // stopping, and nothing left to do
      task = std::move(tasks_.front().run);
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace quillmere

namespace quillmere {

void TaskGroup::spawn(std::function<void()> task) noexcept {
  {
    MutexLock lock(mu_);
    ++pending_;
  }
  try {
    pool_.submit(
        [this, task = std::move(task)]() noexcept {
          run(task);
          finish_one();
        },
        this);
  } catch (...) {
    // Queueing needs memory; doing the work here needs none more.
    run(task);
    finish_one();
    return;
  }
  // The caller is the group's waiter or one of its tasks, which keeps the
  // group alive, so it may still be touched here.
  MutexLock lock(mu_);
  ++queued_;
  if (waiting_) changed_.notify_all();
}

void TaskGroup::run(const std::function<void()>& task) noexcept {
  try {
    task();
  } catch (...) {
    MutexLock lock(mu_);
    failed_ = true;
  }
}

void TaskGroup::finish_one() noexcept {
  MutexLock lock(mu_);
  // Notify under the lock: the waiter may destroy the group as soon as it
  // sees zero.
  if (--pending_ == 0 && waiting_) changed_.notify_all();
}

Result<> TaskGroup::wait() noexcept {
  for (;;) {
    while (pool_.run_one_of(this)) {
    }
    MutexLock lock(mu_);
    // Sleeps until the last task ends, or a running one queues another
    // that this thread could take.
    const std::size_t seen = queued_;
    waiting_ = true;
    while (pending_ != 0 && queued_ == seen) lock.wait(changed_);
    waiting_ = false;
    if (pending_ == 0) {
      if (failed_) return fail(Error::io(IoKind::OutOfMemory));
      return {};
    }
  }
}

}  // namespace quillmere
