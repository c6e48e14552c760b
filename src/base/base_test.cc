// The channel and the worker pool: what crosses between threads. Most worth
// running under ThreadSanitizer (tools/sanitize). And the signal mask the
// library's threads start with.

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>

#include "base/channel.h"
#include "base/pool.h"

namespace quillmere {
namespace {

using namespace std::chrono_literals;
using Value = std::unique_ptr<std::uint64_t>;  // a leak shows under ASan

// Long enough that a receive which wrongly waits hangs the test.
constexpr std::chrono::milliseconds kForever = std::chrono::hours(1);

TEST(ChannelTest, TwoThreadsPassEveryValueInOrder) {
  constexpr std::uint64_t kValues = 50000;
  for (std::size_t bound : {1, 2}) {
    auto [sender, receiver] = Channel<Value>::make(bound).value();
    std::thread producer([s = std::move(sender)]() mutable {
      for (std::uint64_t i = 0; i < kValues; ++i) {
        if (!s.send(std::make_unique<std::uint64_t>(i))) return;
      }
    });
    std::uint64_t next = 0;
    for (;;) {
      ReceiveResult<Value> r = receiver.receive(kForever);
      if (r.status != ReceiveStatus::Received || **r.value != next) break;
      ++next;
    }
    { auto gone = std::move(receiver); }  // releases the producer if this stopped early
    producer.join();
    EXPECT_EQ(next, kValues) << "bound " << bound;
  }
}

TEST(ChannelTest, EachEndLearnsTheOtherIsGone) {
  // Values queued before the sender went are still delivered; then the end
  // shows at once.
  auto [sender, receiver] = Channel<int>::make(2).value();
  ASSERT_TRUE(sender.send(7));
  ASSERT_TRUE(sender.send(8));
  { auto gone = std::move(sender); }
  EXPECT_EQ(receiver.receive(kForever).value, 7);
  EXPECT_EQ(receiver.receive(kForever).value, 8);
  EXPECT_EQ(receiver.receive(kForever).status, ReceiveStatus::Disconnected);

  // A send waiting for room fails when the receiver goes, dropping its
  // value and the queued one.
  auto [full, leaving] = Channel<Value>::make(1).value();
  ASSERT_TRUE(full.send(std::make_unique<std::uint64_t>(1)));
  std::atomic<bool> sent{true};
  std::thread producer([&, s = std::move(full)]() mutable {
    sent = s.send(std::make_unique<std::uint64_t>(2));
  });
  std::this_thread::sleep_for(20ms);  // to let it block; the outcome is the same if not
  { auto gone = std::move(leaving); }
  producer.join();
  EXPECT_FALSE(sent.load());
}

TEST(ChannelTest, ReceiveTimesOutWhileTheSenderIsThere) {
  auto [sender, receiver] = Channel<int>::make(1).value();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receiver.receive(30ms).status, ReceiveStatus::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  ASSERT_TRUE(sender.send(3));  // and the channel still works
  EXPECT_EQ(receiver.receive(0ms).value, 3);
}

// Adds up lo, ..., hi - 1 by halving, each lower half spawned as a task.
void sum_range(TaskGroup& group, std::size_t lo, std::size_t hi, std::atomic<std::size_t>& total) {
  while (hi - lo > 1) {
    const std::size_t mid = lo + (hi - lo) / 2;
    group.spawn([&, lo, mid] { sum_range(group, lo, mid, total); });
    lo = mid;
  }
  total += lo;
}

TEST(TaskGroupTest, WaitsForTasksSpawnedByTasks) {
  std::shared_ptr<WorkerPool> pool = WorkerPool::start(3).value();
  for (int round = 0; round < 20; ++round) {
    std::atomic<std::size_t> total{0};
    TaskGroup group(*pool);
    group.spawn([&] { sum_range(group, 0, 5000, total); });
    ASSERT_TRUE(group.wait());
    EXPECT_EQ(total.load(), 5000u * 4999 / 2);
  }
}

TEST(WorkerPoolTest, DroppingFinishesQueuedTasks) {
  std::atomic<int> done{0};
  {
    std::shared_ptr<WorkerPool> pool = WorkerPool::start(2).value();
    // Both threads busy for a while, so the rest are still queued at the drop.
    for (int i = 0; i < 2; ++i) pool->submit([] { std::this_thread::sleep_for(20ms); });
    for (int i = 0; i < 1000; ++i) pool->submit([&] { ++done; });
  }
  EXPECT_EQ(done.load(), 1000);
}

TEST(SignalsTest, ThreadsStartedWithOutsideSignalsBlockedKeepThemBlocked) {
  sigset_t before, after, in_thread;
  pthread_sigmask(SIG_BLOCK, nullptr, &before);
  {
    const OutsideSignalsBlocked blocked;
    std::thread([&in_thread] { pthread_sigmask(SIG_BLOCK, nullptr, &in_thread); }).join();
  }
  pthread_sigmask(SIG_BLOCK, nullptr, &after);
  for (int outside : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXCPU, SIGXFSZ, SIGALRM}) {
    EXPECT_EQ(sigismember(&in_thread, outside), 1) << outside;
    EXPECT_EQ(sigismember(&after, outside), sigismember(&before, outside)) << outside;
  }
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) EXPECT_EQ(sigismember(&in_thread, fault), 0);
}

}  // namespace
}  // namespace quillmere
