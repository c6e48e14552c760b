// The channel and the worker pool: what crosses between threads. Most worth
// running under ThreadSanitizer (tools/sanitize). The signal mask the
// library's threads start with. And the small owners and byte helpers:
// the descriptor owner, byte order, and the merges' heap steps.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "base/byte_order.h"
#include "base/channel.h"
#include "base/fd.h"
#include "base/heap.h"
#include "base/mutex.h"
#include "base/tournament.h"
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

// Merging k sorted lists through the tree gives them sorted, for every k up
// to 17 (trees of every shape), lists of uneven lengths, some empty, with
// ties broken by list.
TEST(LoserTreeTest, MergesSortedListsOfEveryCount) {
  std::mt19937_64 rng(5);
  for (std::size_t k = 0; k <= 17; ++k) {
    std::vector<std::vector<int>> lists(k);
    std::vector<std::pair<int, std::size_t>> want;
    for (std::size_t i = 0; i < k; ++i) {
      for (std::size_t n = rng() % 40; n > 0; --n) lists[i].push_back(static_cast<int>(rng() % 50));
      std::ranges::sort(lists[i]);
      for (int v : lists[i]) want.emplace_back(v, i);
    }
    std::ranges::sort(want);
    std::vector<std::size_t> at(k, 0);
    auto less = [&](std::uint32_t a, std::uint32_t b) {
      if (at[a] == lists[a].size()) return false;
      if (at[b] == lists[b].size()) return true;
      const int va = lists[a][at[a]], vb = lists[b][at[b]];
      return va != vb ? va < vb : a < b;
    };
    LoserTree tree;
    tree.build(k, less);
    std::vector<std::pair<int, std::size_t>> got;
    while (k != 0 && at[tree.winner()] < lists[tree.winner()].size()) {
      const std::size_t w = tree.winner();
      got.emplace_back(lists[w][at[w]++], w);
      tree.replay(less);
    }
    EXPECT_EQ(got, want) << k << " lists";
  }
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

// While the pool is paused nothing starts; once it is held by a task of its
// own, a group's tasks can only run on the thread waiting for them.
TEST(TaskGroupTest, TheWaiterRunsItsQueuedTasksUnlessThePoolIsPaused) {
  // Declared before the pool, which joins the task reading it before it goes.
  std::atomic<bool> release{false};
  std::shared_ptr<WorkerPool> pool = WorkerPool::start(1).value();
  Mutex mu;
  std::vector<std::thread::id> ran;
  auto spawn_ten = [&](TaskGroup& group) {
    for (int i = 0; i < 10; ++i) {
      group.spawn([&] {
        MutexLock lock(mu);
        ran.push_back(std::this_thread::get_id());
      });
    }
  };
  {
    pool->pause();
    TaskGroup group(*pool);
    spawn_ten(group);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(ran.empty());
    pool->resume();
    ASSERT_TRUE(group.wait());
    EXPECT_EQ(ran.size(), 10u);
  }
  ran.clear();
  // Lets itself go after a while, so that a waiter that does not help fails
  // instead of hanging.
  pool->submit([&] {
    for (int i = 0; i < 5000 && !release; ++i) std::this_thread::sleep_for(1ms);
  });
  {
    TaskGroup group(*pool);
    spawn_ten(group);
    ASSERT_TRUE(group.wait());
  }
  release = true;
  EXPECT_EQ(ran, std::vector<std::thread::id>(10, std::this_thread::get_id()));
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

// Whether the write end of a pipe is open anywhere: reading the empty,
// non-blocking read end then finds nothing yet rather than the end.
bool writer_open(int read_end) {
  char c;
  return ::read(read_end, &c, 1) < 0 && errno == EAGAIN;
}

TEST(FdTest, ClosesWhatItOwnsAndNothingElse) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  const Fd read_end(p[0]);
  {
    Fd first(p[1]);
    Fd second(std::move(first));
    { const Fd emptied(std::move(first)); }
    Fd third;
    third = std::move(second);
    EXPECT_EQ(first.get(), -1);
    EXPECT_EQ(second.get(), -1);
    EXPECT_TRUE(writer_open(p[0])) << "a moved-from owner closed the descriptor";
    third = Fd();
    EXPECT_FALSE(writer_open(p[0])) << "assigning over an owner left its descriptor open";
  }
  ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  const Fd read_again(p[0]);
  int released;
  { released = Fd(p[1]).release(); }
  EXPECT_TRUE(writer_open(p[0])) << "a released descriptor was closed";
  { const Fd dropped(released); }
  EXPECT_FALSE(writer_open(p[0])) << "dropping an owner left its descriptor open";
}

TEST(FdTest, CloseReportsTheSystemsError) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  const Fd read_end(p[0]);
  Fd write_end(p[1]);
  EXPECT_TRUE(write_end.close());
  EXPECT_EQ(write_end.get(), -1);
  EXPECT_FALSE(writer_open(p[0]));
  EXPECT_TRUE(write_end.close()) << "closing nothing is no error";
  Fd never_open(1 << 20);  // beyond any descriptor this process holds
  const Result<> r = never_open.close();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), os_error_text(EBADF));
}

// Each width's edges and a pattern with every byte distinct, against the
// byte layout worked out by shifts.
TEST(EndianTest, FieldsPutTheirBytesInTheStatedOrder) {
  auto check = [](auto type) {
    using T = decltype(type);
    constexpr std::size_t n = sizeof(T);
    const T max = std::numeric_limits<T>::max();
    for (T value : {T{0}, T{1}, T(max >> 1), T(T{1} << (8 * n - 1)), T(max - 1), max,
                    T(0x0807060504030201u)}) {
      std::byte le[n], be[n];
      store_le(le, value);
      store_be(be, value);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(std::to_integer<unsigned>(le[i]), (value >> (8 * i)) & 0xFFu) << n << " " << i;
        EXPECT_EQ(be[i], le[n - 1 - i]) << n << " " << i;
      }
      EXPECT_EQ(load_le<T>(le), value);
      EXPECT_EQ(load_be<T>(be), value);
    }
  };
  check(std::uint16_t{});
  check(std::uint32_t{});
  check(std::uint64_t{});
}

// A k-way merge of sorted lists as both merges drive the heap: build it by
// sift_up, then hand out the first head and refill it from its list (sift
// down) or, when the list is used up, move the last head into its place.
// Ties go to the lower list, so the result is a stable sort of the lists
// laid end to end. The heads own their values, so a head lost or copied
// by a wrong move shows as a null or a double free.
TEST(HeapTest, MergesSortedListsLikeAStableSort) {
  struct Head {
    std::unique_ptr<int> value;
    std::size_t list;
    std::size_t next;  // index of the list's next value
  };
  const auto before = [](const Head& a, const Head& b) {
    return *a.value != *b.value ? *a.value < *b.value : a.list < b.list;
  };
  std::mt19937_64 rng(5);
  for (std::size_t k : {0, 1, 2, 3, 7, 64}) {
    std::vector<std::vector<int>> lists(k);
    std::vector<std::pair<int, std::size_t>> want;  // value, list
    for (std::size_t i = 0; i < k; ++i) {
      for (std::size_t n = rng() % 40; n > 0; --n) lists[i].push_back(static_cast<int>(rng() % 20));
      std::ranges::sort(lists[i]);
      for (int v : lists[i]) want.emplace_back(v, i);
    }
    std::ranges::stable_sort(want, {}, &std::pair<int, std::size_t>::first);
    std::vector<Head> heap;
    for (std::size_t i = 0; i < k; ++i) {
      if (lists[i].empty()) continue;
      heap.push_back({std::make_unique<int>(lists[i][0]), i, 1});
      sift_up(std::span(heap), before);
    }
    std::vector<std::pair<int, std::size_t>> got;
    while (!heap.empty()) {
      Head& first = heap.front();
      got.emplace_back(*first.value, first.list);
      if (first.next < lists[first.list].size()) {
        *first.value = lists[first.list][first.next++];
      } else {
        first = std::move(heap.back());
        heap.pop_back();
      }
      sift_down(std::span(heap), before);
    }
    EXPECT_EQ(got, want) << k << " lists";
  }
}

}  // namespace
}  // namespace quillmere
