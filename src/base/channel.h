// A bounded queue that carries values from exactly one producing thread to
// exactly one consuming thread, and tells each side when the other has gone.
// The spill thread sends its one result back over it, and the merging thread
// of write_to sends chunks of output.
//
// Channel<T>::make returns the two ends, a Sender and a Receiver, which share
// one heap block; the block is freed when both ends are gone. Each end is
// move-only and belongs to one thread at a time; the two ends may be used
// from two threads at once. Room for `bound` values is allocated when the
// channel is made, so send() and receive() allocate nothing.
//
// Memory ordering: whatever the sender wrote before send() is visible to the
// receiver once receive() returns that value. Whatever an end's thread wrote
// before dropping it is visible to the other side once it sees the end gone
// (send() returning false, receive() returning Disconnected).

#pragma once

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/mutex.h"

namespace quillmere {

template <class T>
class Sender;
template <class T>
class Receiver;

enum class ReceiveStatus : std::uint8_t {
  Received,      // a value came
  Disconnected,  // the sender is gone and nothing is queued
  TimedOut,      // the time limit passed with the sender still there
};

template <class T>
struct ReceiveResult {
  ReceiveStatus status;
  std::optional<T> value;  // holds the value exactly when status is Received
};

// The block the two ends share. Only Sender and Receiver touch its state.
template <class T>
class Channel {
 public:
  struct Ends {
    Sender<T> sender;
    Receiver<T> receiver;
  };

  // REQUIRES: bound >= 1. Fails only for want of memory.
  [[nodiscard]] static Result<Ends> make(std::size_t bound) noexcept;

 private:
  friend class Sender<T>;
  friend class Receiver<T>;
  struct Key {  // lets make_shared reach the constructor, and nobody else
    explicit Key() = default;
  };

 public:
  Channel(Key, std::size_t bound) : bound_(bound), slots_(bound) {}

 private:
  std::size_t bound() const noexcept { return bound_; }

  const std::size_t bound_;  // the most values queued at once
  Mutex mu_;
  std::condition_variable changed_;  // any change the other side may wait for
  // A ring: the queued values are size_ slots from head_ on, wrapping.
  std::vector<std::optional<T>> slots_ QM_GUARDED_BY(mu_);
  std::size_t head_ QM_GUARDED_BY(mu_) = 0;
  std::size_t size_ QM_GUARDED_BY(mu_) = 0;
  bool sender_alive_ QM_GUARDED_BY(mu_) = true;
  bool receiver_alive_ QM_GUARDED_BY(mu_) = true;
};

template <class T>
class Sender {
 public:
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender&& other) noexcept {
    std::swap(shared_, other.shared_);  // other drops what this held
    return *this;
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() { disconnect(); }

  // Queues `value`, first waiting while the queue is full. Returns false if
  // the receiver is gone; the value is then dropped, outside the lock.
  bool send(T value) {
    Channel<T>& c = *shared_;
    MutexLock lock(c.mu_);
    while (c.receiver_alive_ && c.size_ == c.bound()) lock.wait(c.changed_);
    if (!c.receiver_alive_) {
      lock.unlock();  // `value` may be large: destroy it unlocked
      return false;
    }
    c.slots_[(c.head_ + c.size_) % c.bound()].emplace(std::move(value));
    ++c.size_;
    c.changed_.notify_all();
    return true;
  }

 private:
  friend class Channel<T>;
  explicit Sender(std::shared_ptr<Channel<T>> shared) noexcept : shared_(std::move(shared)) {}

  void disconnect() noexcept {
    if (!shared_) return;  // moved from
    {
      MutexLock lock(shared_->mu_);
      shared_->sender_alive_ = false;
    }
    shared_->changed_.notify_all();
    shared_.reset();
  }

  std::shared_ptr<Channel<T>> shared_;  // null once moved from
};

template <class T>
class Receiver {
 public:
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    std::swap(shared_, other.shared_);  // other drops what this held
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { disconnect(); }

  // Takes the oldest queued value, waiting up to `limit` for one. Values
  // sent before the sender went away are still delivered, in order; only
  // then does this report Disconnected, without waiting.
  ReceiveResult<T> receive(std::chrono::milliseconds limit) {
    Channel<T>& c = *shared_;
    MutexLock lock(c.mu_);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (c.size_ == 0 && c.sender_alive_) {
      if (lock.wait_until(c.changed_, deadline) == std::cv_status::timeout) break;
    }
    if (c.size_ == 0) {
      return {c.sender_alive_ ? ReceiveStatus::TimedOut : ReceiveStatus::Disconnected,
              std::nullopt};
    }
    std::optional<T>& slot = c.slots_[c.head_];
    ReceiveResult<T> result{ReceiveStatus::Received, std::move(slot)};
    slot.reset();
    c.head_ = (c.head_ + 1) % c.bound();
    --c.size_;
    c.changed_.notify_all();
    return result;
  }

 private:
  friend class Channel<T>;
  explicit Receiver(std::shared_ptr<Channel<T>> shared) noexcept : shared_(std::move(shared)) {}

  // Queued values are destroyed after the lock is released: destroying one
  // (a half, a chunk of output) may take a while, and the sender may be
  // waiting for the lock meanwhile.
  void disconnect() noexcept {
    if (!shared_) return;  // moved from
    std::vector<std::optional<T>> dropped;
    {
      MutexLock lock(shared_->mu_);
      shared_->receiver_alive_ = false;
      // Taking the whole ring moves no value and allocates nothing; a sender
      // never touches the ring once the receiver is gone.
      dropped = std::move(shared_->slots_);
      shared_->size_ = 0;
    }
    shared_->changed_.notify_all();
    dropped.clear();
    shared_.reset();
  }

  std::shared_ptr<Channel<T>> shared_;  // null once moved from
};

template <class T>
Result<typename Channel<T>::Ends> Channel<T>::make(std::size_t bound) noexcept {
  assert(bound >= 1);
  try {
    auto shared = std::make_shared<Channel<T>>(Key{}, bound);
    return Ends{Sender<T>(shared), Receiver<T>(shared)};
  } catch (const std::bad_alloc&) {
    return fail(Error::io(IoKind::OutOfMemory));
  }
}

}  // namespace quillmere
