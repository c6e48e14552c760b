#include "base/pool.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace quillmere {
namespace {

TEST(WorkerPoolTest, RunsTasksOnItsOwnNamedThreads) {
  Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::start(3);
  ASSERT_TRUE(pool) << pool.error().text();
  EXPECT_EQ((*pool)->size(), 3u);

  // Three tasks that each wait for all three to have started must run on
  // three different threads at once.
  std::mutex mu;
  std::condition_variable cv;
  int started = 0;
  std::set<pthread_t> threads;
  std::set<std::string> names;
  for (int i = 0; i < 3; ++i) {
    (*pool)->submit([&] {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      std::unique_lock lock(mu);
      threads.insert(pthread_self());
      names.insert(name);
      ++started;
      cv.notify_all();
      cv.wait(lock, [&] { return started == 3; });
    });
  }
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return started == 3; });
  }
  EXPECT_EQ(threads.size(), 3u);
  EXPECT_FALSE(threads.contains(pthread_self()));
  // The system keeps 15 bytes of "quillmere-sort-N".
  EXPECT_EQ(names, std::set<std::string>{"quillmere-sort-"});
  // Join the workers, still re-checking `started`, before it goes out of scope.
  pool->reset();
}

TEST(WorkerPoolTest, DroppingFinishesQueuedTasks) {
  std::atomic<int> done{0};
  {
    Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::start(2);
    ASSERT_TRUE(pool);
    for (int i = 0; i < 1000; ++i) (*pool)->submit([&] { done.fetch_add(1); });
  }
  EXPECT_EQ(done.load(), 1000);
}

// A recursive sum over a range, halving it into tasks down to single items.
void sum_range(TaskGroup& group, const std::vector<int>& v, std::size_t lo, std::size_t hi,
               std::atomic<long>& total) {
  if (hi - lo == 1) {
    total.fetch_add(v[lo]);
    return;
  }
  std::size_t mid = lo + (hi - lo) / 2;
  group.spawn([&, lo, mid] { sum_range(group, v, lo, mid, total); });
  sum_range(group, v, mid, hi, total);
}

TEST(TaskGroupTest, WaitsForTasksSpawnedByTasks) {
  Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::start(3);
  ASSERT_TRUE(pool);
  std::vector<int> v(10000);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int>(i);
  for (int round = 0; round < 20; ++round) {
    std::atomic<long> total{0};
    TaskGroup group(**pool);
    group.spawn([&] { sum_range(group, v, 0, v.size(), total); });
    ASSERT_TRUE(group.wait());
    EXPECT_EQ(total.load(), 10000L * 9999 / 2);
  }
}

TEST(TaskGroupTest, ATaskThatThrowsFailsTheWait) {
  Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::start(2);
  ASSERT_TRUE(pool);
  std::atomic<int> ran{0};
  TaskGroup group(**pool);
  for (int i = 0; i < 10; ++i) {
    group.spawn([&, i] {
      ran.fetch_add(1);
      if (i == 3) throw std::bad_alloc();
    });
  }
  Result<> r = group.wait();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoKind::OutOfMemory);
  EXPECT_EQ(ran.load(), 10);  // the others still ran: nothing is left running
}

TEST(WorkerPoolTest, RefusesMoreThanItsLimit) {
  Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::start(WorkerPool::kMaxThreads + 1);
  ASSERT_FALSE(pool);
  EXPECT_EQ(pool.error().kind(), IoKind::Other);
  EXPECT_EQ(pool.error().text(), "a worker pool has at most 65535 threads, not 65536");
}

}  // namespace
}  // namespace quillmere
