// The sorter's own pool of worker threads, "quillmere-sort-0" and upwards.
//
// A pool exists when a sorter has two or more threads. It is shared by handle
// (std::shared_ptr) between the core sorter, its spill thread and run writers;
// its threads end, after finishing the tasks already queued, when the last
// share is released. Tasks run on the pool's threads in no particular order;
// a task never waits for another task (the thread that needs results waits
// outside the pool, running the tasks it is waiting for that are still
// queued), so the pool cannot deadlock on itself.
//
// Thread safety: submit() may be called from any thread, including from a
// task. Memory ordering: whatever a thread wrote before submit() is visible
// to the task when it runs.

#pragma once

#include <signal.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/mutex.h"
#include "base/process.h"

namespace quillmere {

class WorkerPool {
 public:
  static constexpr std::size_t kMaxThreads = 65535;

  // Starts exactly `threads` named threads. On failure no thread is left
  // running, and the error (kind Other) carries the reason.
  [[nodiscard]] static Result<std::shared_ptr<WorkerPool>> start(std::size_t threads);

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Lets the queued tasks finish, then joins every thread. Runs only in the
  // process that started the pool: a forked child, where the threads do not
  // exist, never destroys its copy.
  ~WorkerPool();

  std::size_t size() const noexcept { return threads_.size(); }

  // Queues a task. The task must not throw; it runs on some pool thread, or
  // on a thread outside the pool that asks for the tasks of its `owner`.
  void submit(std::function<void()> task, const void* owner = nullptr);

  // Takes the oldest queued task submitted with `owner` and runs it on the
  // calling thread; false when none is queued (or the pool is paused).
  bool run_one_of(const void* owner);

  // While paused no queued task starts, on the pool or through
  // run_one_of(); tasks already running go on. What the tests use to hold
  // a spill in flight.
  void pause();
  void resume();

 private:
  struct Task {
    std::function<void()> run;
    const void* owner;
  };

  WorkerPool() = default;
  void work();
  void stop_and_join() noexcept;

  Mutex mu_;
  std::condition_variable wake_;
  std::deque<Task> tasks_ QM_GUARDED_BY(mu_);
  bool stopping_ QM_GUARDED_BY(mu_) = false;
  bool paused_ QM_GUARDED_BY(mu_) = false;
  std::vector<std::thread> threads_;  // set up in start(), then constant
  MadeHere made_;
};

// A batch of tasks run on a pool and waited for by one thread outside it
// (the spill thread, a merge pass, a test). Tasks may spawn further tasks
// into the same group, so recursive work (a parallel quicksort, halving a
// range of blocks) needs no waiting inside the pool.
//
// Memory ordering: whatever a task wrote is visible to the waiter once
// wait() returns; whatever a thread wrote before spawn() is visible to the
// task it spawns.
class TaskGroup {
 public:
  // REQUIRES: the pool outlives the group.
  explicit TaskGroup(WorkerPool& pool) noexcept : pool_(pool) {}
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  // Waits for what is still running: a task must never outlive its group.
  ~TaskGroup() { (void)wait(); }

  // Queues `task` on the pool; from any thread, including a task of this
  // group. If it cannot be queued (no memory), it runs at once instead.
  void spawn(std::function<void()> task) noexcept;

  // Blocks until every task spawned so far, and every task they spawned,
  // has finished, meanwhile running those still queued on this thread: a
  // thread that waits for the pool would otherwise leave its core idle.
  // REQUIRES: not called on one of the pool's threads.
  // Fails (OutOfMemory) if a task ended by an exception.
  [[nodiscard]] Result<> wait() noexcept;

 private:
  void run(const std::function<void()>& task) noexcept;
  void finish_one() noexcept;

  WorkerPool& pool_;
  Mutex mu_;
  std::condition_variable changed_;  // a task finished, or one was queued
  std::size_t pending_ QM_GUARDED_BY(mu_) = 0;  // spawned and not yet finished
  std::size_t queued_ QM_GUARDED_BY(mu_) = 0;   // handed to the pool so far
  bool waiting_ QM_GUARDED_BY(mu_) = false;     // wait() sleeps on changed_
  bool failed_ QM_GUARDED_BY(mu_) = false;      // a task threw
};

// Gives a thread its name. The system keeps the first 15 bytes.
void name_thread(std::thread& thread, const std::string& name) noexcept;

// While one lives, the calling thread blocks every signal that arrives from
// outside (all but those a thread's own fault raises), and a thread started
// meanwhile keeps that mask for good. So the process's signals always go to
// a thread of the program itself: the interpreter runs its handlers on its
// main thread only, and a signal taken by a sorting thread would leave a
// main thread blocked in a read waiting for input that may never come.
class OutsideSignalsBlocked {
 public:
  OutsideSignalsBlocked() noexcept;
  ~OutsideSignalsBlocked();
  OutsideSignalsBlocked(const OutsideSignalsBlocked&) = delete;
  OutsideSignalsBlocked& operator=(const OutsideSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace quillmere
