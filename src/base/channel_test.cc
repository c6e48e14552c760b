#include "base/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>

namespace quillmere {
namespace {

using namespace std::chrono_literals;

// Long enough that a receive which wrongly waits hangs the test.
constexpr std::chrono::milliseconds kForever = std::chrono::hours(1);

// Counts its destructions, so a test can tell a value was dropped and not
// leaked (the moved-from shells do not count).
class Counted {
 public:
  explicit Counted(std::atomic<int>* destroyed, int id = 0) : destroyed_(destroyed), id_(id) {}
  Counted(Counted&& other) noexcept
      : destroyed_(std::exchange(other.destroyed_, nullptr)), id_(other.id_) {}
  Counted& operator=(Counted&&) = delete;
  ~Counted() {
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
  }
  int id() const { return id_; }

 private:
  std::atomic<int>* destroyed_;
  int id_;
};

template <class T>
typename Channel<T>::Ends make_channel(std::size_t bound) {
  Result<typename Channel<T>::Ends> ends = Channel<T>::make(bound);
  EXPECT_TRUE(ends);
  return std::move(*ends);
}

TEST(ChannelTest, SendToAGoneReceiverDropsTheValue) {
  std::atomic<int> destroyed{0};
  auto [sender, receiver] = make_channel<Counted>(1);
  { Receiver<Counted> gone = std::move(receiver); }
  EXPECT_FALSE(sender.send(Counted(&destroyed)));
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(ChannelTest, BlockedSendFailsWhenTheReceiverIsDropped) {
  std::atomic<int> destroyed{0};
  auto [sender, receiver] = make_channel<Counted>(1);
  ASSERT_TRUE(sender.send(Counted(&destroyed, 1)));
  std::atomic<bool> sent{true};
  std::thread producer([&, s = std::move(sender)]() mutable {
    sent = s.send(Counted(&destroyed, 2));  // the queue is full: waits
  });
  // Give the producer time to block; the outcome is the same if it has not.
  std::this_thread::sleep_for(20ms);
  { Receiver<Counted> gone = std::move(receiver); }
  producer.join();
  EXPECT_FALSE(sent.load());
  EXPECT_EQ(destroyed.load(), 2);  // the queued value and the refused one
}

TEST(ChannelTest, QueuedValuesOutliveTheSender) {
  auto [sender, receiver] = make_channel<int>(2);
  ASSERT_TRUE(sender.send(7));
  ASSERT_TRUE(sender.send(8));
  { Sender<int> gone = std::move(sender); }
  ReceiveResult<int> first = receiver.receive(kForever);
  ASSERT_EQ(first.status, ReceiveStatus::Received);
  EXPECT_EQ(first.value, 7);
  ReceiveResult<int> second = receiver.receive(kForever);
  ASSERT_EQ(second.status, ReceiveStatus::Received);
  EXPECT_EQ(second.value, 8);
  // Must not wait: a wrong wait here lasts an hour.
  ReceiveResult<int> last = receiver.receive(kForever);
  EXPECT_EQ(last.status, ReceiveStatus::Disconnected);
  EXPECT_FALSE(last.value.has_value());
}

TEST(ChannelTest, ReceiveTimesOutNoSoonerThanItsLimit) {
  auto [sender, receiver] = make_channel<int>(1);
  for (std::chrono::milliseconds limit : {0ms, 1ms, 30ms}) {
    auto start = std::chrono::steady_clock::now();
    ReceiveResult<int> r = receiver.receive(limit);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, ReceiveStatus::TimedOut);
    EXPECT_FALSE(r.value.has_value());
    EXPECT_GE(elapsed, limit);
  }
  // The channel still works after timing out.
  ASSERT_TRUE(sender.send(3));
  EXPECT_EQ(receiver.receive(0ms).value, 3);
}

TEST(ChannelTest, DroppingTheReceiverDropsQueuedValues) {
  std::atomic<int> destroyed{0};
  auto [sender, receiver] = make_channel<Counted>(3);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(sender.send(Counted(&destroyed, i)));
  // Wrap the ring: take one, queue one more.
  ReceiveResult<Counted> r = receiver.receive(0ms);
  ASSERT_EQ(r.status, ReceiveStatus::Received);
  EXPECT_EQ(r.value->id(), 0);
  ASSERT_TRUE(sender.send(Counted(&destroyed, 3)));
  EXPECT_EQ(destroyed.load(), 0);
  { Receiver<Counted> gone = std::move(receiver); }
  EXPECT_EQ(destroyed.load(), 3);
  EXPECT_FALSE(sender.send(Counted(&destroyed, 4)));
  EXPECT_EQ(destroyed.load(), 4);
}

// One thread sends 0, 1, 2, ... while this one receives; every value must
// arrive once and in order, and the end must read as Disconnected.
void pass_in_order(std::size_t bound) {
  constexpr std::uint64_t kValues = 100000;
  auto [sender, receiver] = make_channel<std::unique_ptr<std::uint64_t>>(bound);
  std::thread producer([s = std::move(sender)]() mutable {
    for (std::uint64_t i = 0; i < kValues; ++i) {
      if (!s.send(std::make_unique<std::uint64_t>(i))) return;
    }
  });
  std::uint64_t next = 0;
  for (;;) {
    ReceiveResult<std::unique_ptr<std::uint64_t>> r = receiver.receive(50ms);
    if (r.status == ReceiveStatus::TimedOut) continue;
    if (r.status == ReceiveStatus::Disconnected) break;
    if (**r.value != next) break;
    ++next;
  }
  // Dropping the receiver releases the producer if we stopped early.
  { auto gone = std::move(receiver); }
  producer.join();
  EXPECT_EQ(next, kValues) << "bound " << bound;
}

TEST(ChannelTest, TwoThreadsPassEveryValueInOrder) {
  pass_in_order(1);
  pass_in_order(2);
}

}  // namespace
}  // namespace quillmere
