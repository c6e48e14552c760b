// The Lock through which Python threads sharing one sorter take turns, and
// the State it guards.
//
// A sorter object and each of its iterators hold a shared handle to one Lock
// (std::shared_ptr). A thread never blocks on the mutex while attached to the
// interpreter: it either tries without blocking, or detaches first; so a
// holder that needs to attach (to check for signals) is never blocked by a
// waiter. `owner` turns a would-be self-deadlock, such as a signal handler
// that calls back into the sorter whose lock its thread holds, into the
// error "reentrant call".
//
// Memory ordering: whatever a holder wrote to the state is visible to the
// next thread that acquires the lock (the mutex orders them). `owner` needs
// only relaxed ordering: a thread compares it with its own identity, which
// only that thread itself can have stored.

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "base/mutex.h"
#include "base/process.h"
#include "merge/merged.h"
#include "sorter/sorter.h"

namespace quillmere::python {

// Items may be added; holds the core sorter.
struct Adding {
  std::unique_ptr<Sorter> sorter;
};
// Sorted output is being read: the merge and the chunk of payloads read
// from it but not yet handed out.
struct Reading {
  Merged merged;
  std::vector<std::byte> buffer;  // payloads of the current chunk, back to back
  std::vector<std::size_t> ends;  // end offset in buffer of each payload
  std::size_t next = 0;           // index of the next payload to hand out
};
// Every item was read, or write_to took the merge away.
struct Done {};
// Reading failed or was interrupted; what was spilled is gone.
struct Stopped {};
// close() ran, or the last holder released the state.
struct Closed {};

using State = std::variant<Adding, Reading, Done, Stopped, Closed>;

class Lock;

// A held Lock. Dropping it clears the owner and unlocks. A Guard carries its
// hold on the mutex out of the function that took it, which clang's thread
// safety analysis cannot follow: the few functions where a hold begins or
// ends, or the state is reached through a Guard, are exempt from it.
class Guard {
 public:
  Guard(Guard&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}
  Guard& operator=(Guard&&) = delete;
  Guard(const Guard&) = delete;
  ~Guard();

  State& state() noexcept;

 private:
  friend class Lock;
  explicit Guard(Lock* lock) noexcept;
  Lock* lock_;
};

class Lock {
 public:
  explicit Lock(State state) : state_(std::move(state)) {}
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  // Takes the lock if it is free; never blocks.
  std::optional<Guard> try_acquire() noexcept;

  // Waits for the lock. REQUIRES: the calling thread is detached from the
  // interpreter. Returns none, without waiting, when the calling thread
  // holds the lock already (a reentrant call).
  std::optional<Guard> acquire() noexcept;

  // Whether the calling thread holds the lock.
  bool held_by_this_thread() const noexcept;

  // Replaces the state with Closed and returns what it held, for the last
  // holder of the lock, which no other thread can reach. In a process
  // forked from the one that made the lock, a thread of the parent may have
  // held it at the fork and will never let go: then nothing is taken.
  std::optional<State> take_as_last_holder() noexcept;

 private:
  friend class Guard;

  Mutex mutex_;
  State state_ QM_GUARDED_BY(mutex_);
  std::atomic<std::uintptr_t> owner_{0};  // identity of the holding thread, 0 when none
  MadeHere made_;
};

// The calling thread's identity for `owner`: never 0, unique among live
// threads, and the same in every module of the process.
std::uintptr_t this_thread_id() noexcept;

}  // namespace quillmere::python
