// The core sorter: configuration, the two halves of memory, the runs spilled
// so far, the run directory they live in, the optional worker pool, and the
// one spill in flight.
//
// push() appends records to the filling half; when it is full, a spill
// thread ("quillmere-spill") takes it, sorts it, writes it as a run file and
// sends the emptied half back over a channel, while the other half fills.
// Halves move between the threads; nothing is shared.
//
// One Python Sorter object owns one core Sorter while items are added. Its
// fields are touched only by the thread holding that object's lock, or by
// the thread that drops it. Adding ends with end_adding(), which hands
// everything the records live in over to finishing a sort in one
// AddedRecords. Until then, dropping the sorter waits for a spill in
// flight, then removes the private directory with every run file in it.

#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "base/channel.h"
#include "base/error.h"
#include "base/pool.h"
#include "base/stop.h"
#include "run/run.h"
#include "sorter/chunk.h"
#include "sorter/config.h"
#include "sorter/run_dir.h"

namespace quillmere {

// Keys and payloads must be shorter than this.
inline constexpr std::uint64_t kMaxFieldLength = std::uint64_t{1} << 32;

// How far a spill and the adding thread have come, each told to the other
// now and then, so that each can see which of them is behind.
struct SpillPace {
  std::atomic<std::uint64_t> written{0};  // records the spill has written
  std::atomic<std::uint64_t> filled{0};   // records in the half being filled
  std::atomic<bool> waiting{false};       // adding waits for the spill

  // Whether adding is ahead of the spill: it waits for it, or has filled
  // more of its half than the spill has written of its own, and so will
  // wait at the next swap.
  bool adding_ahead() const noexcept {
    return waiting.load(std::memory_order_relaxed) ||
           filled.load(std::memory_order_relaxed) > written.load(std::memory_order_relaxed);
  }
};

// Writes a half's records in key order, merging the pieces sort_pieces()
// (or sort()) ordered, as a new run file at `path` (compressing on the pool
// when there is one). What a spill does. With `pace`, tells there now and
// then how many records have gone to the writer, and shares the pool only
// while adding is ahead: a spill that keeps up alone leaves the other cores
// to adding, which then is what the whole sort waits for.
[[nodiscard]] Result<> write_run(const Chunk& chunk, const std::filesystem::path& path,
                                 std::shared_ptr<WorkerPool> pool, SpillPace* pace = nullptr);

// What adding leaves for finishing a sort, handed over once by
// Sorter::end_adding(). Its owner owns the run files: dropping it releases
// the pool share and removes the private directory with every run in it,
// unless the directory was handed on first (to the final merge).
struct AddedRecords {
  std::vector<Run> runs;             // in order of addition; every file complete
  Chunk held;                        // the filling half, unsorted; its items came last
  RunDir run_dir;                    // the private directory and the run counter
  std::shared_ptr<WorkerPool> pool;  // null when threads is 1
  std::uint64_t max_open;            // most runs one merge may read at once
};

class Sorter {
 public:
  // Checks the configuration, checks that a private directory can be made in
  // tmp_dir (making one and removing it at once), and starts the worker pool
  // when threads >= 2. The first failure is returned; nothing is left behind.
  [[nodiscard]] static Result<std::unique_ptr<Sorter>> create(Config config);

  Sorter(const Sorter&) = delete;
  Sorter& operator=(const Sorter&) = delete;
  ~Sorter();

  // Appends one record. When the filling half is full, first waits for the
  // spill in flight (asking `stop` every 50 ms; if it answers stop, returns
  // an Interrupted error with nothing added and the spill still pending),
  // then starts spilling the full half and goes on in the other.
  // Fails with Invalid for a key or payload of 4 GiB or more (nothing
  // changes), and with Lost once an earlier failure lost records.
  [[nodiscard]] Result<> push(std::span<const std::byte> key, std::span<const std::byte> payload,
                              StopCheck& stop);

  // Waits for the spill in flight, if any, asking `stop` every 50 ms. On
  // "stop" returns an Interrupted error and leaves the spill pending. A
  // spill that failed, or ended without a result, stops the sorter: its
  // error is returned now and every later push fails with Lost.
  [[nodiscard]] Result<> wait_or_stop(StopCheck& stop);
  [[nodiscard]] Result<> wait();

  // Appends the record if it fits the filling half as it is, which is what
  // nearly every push() comes to, and returns whether it did. Changes
  // nothing otherwise: then push() waits, spills, grows or fails.
  bool push_if_it_fits(std::span<const std::byte> key, std::span<const std::byte> payload) noexcept;

  // Whether push() of a record of `need` bytes will have to spill first
  // (and may wait).
  bool must_spill(std::uint64_t need) const noexcept;

  // Whether the adding thread should now call sort_complete_pieces(): a
  // piece of the filling half was just completed while a spill is in
  // flight, and adding is ahead of it, so that it would wait for the spill
  // at the next swap. Sorting the piece now takes that much off the spill
  // of this half; a thread that adds more slowly than the spill writes
  // never does. Looks at one count on nearly every call.
  bool sort_due() const noexcept {
    const std::size_t n = chunk_.entries.size();
    // A piece completes where a count is published, so the pace has this n.
    static_assert(kPieceEntries % kPublishEvery == 0);
    return n % kPieceEntries == 0 && n != 0 && pending_.has_value() && pace_.adding_ahead();
  }
  // Tells the spill how full the filling half is, now and then.
  void publish_filled() noexcept {
    const std::size_t n = chunk_.entries.size();
    if (n % kPublishEvery == 0) pace_.filled.store(n, std::memory_order_relaxed);
  }
  static constexpr std::size_t kPublishEvery = 1024;
  // Sorts the filling half's complete pieces that are not yet in order.
  void sort_complete_pieces() noexcept { quillmere::sort_complete_pieces(chunk_); }

  // Ends adding: hands the runs, the filling half, the run directory, the
  // pool share and max_open over in one value. First fails with Lost if an
  // earlier failure lost records, then waits for the spill in flight as
  // wait_or_stop() does, returning its failure or interruption; on any
  // failure the sorter keeps everything, and dropping it joins the spill
  // (without interruption) and removes the private directory. The spare
  // half is released: only the filling one is still needed. After a
  // success the sorter holds nothing to wait for or remove, and every later
  // push fails with Lost: it is only to be dropped.
  [[nodiscard]] Result<AddedRecords> end_adding(StopCheck& stop);

  bool stopped() const noexcept { return stopped_; }
  bool spilling() const noexcept { return pending_.has_value(); }

 private:
  // What a spill thread sends back: the emptied half, or why it failed.
  using SpillResult = Result<Chunk>;

  // The spill in flight.
  struct Pending {
    std::thread handle;
    Receiver<SpillResult> receiver;
  };

  // Lets the Python tests hold the pool busy, so that a spill stays in
  // flight; defined only in their own module.
  friend class SorterTestPeer;

  explicit Sorter(Config config, std::shared_ptr<WorkerPool> pool);

  // Hands the full half to a new spill thread writing the run at `path`.
  [[nodiscard]] Result<> spill(std::filesystem::path path);
  // Joins the spill thread and takes its result.
  Result<> collect(ReceiveResult<SpillResult> received);
  // Sets `stopped_` when `r` failed, and passes it on.
  Result<> stop_on_failure(Result<> r);

  Chunk chunk_;                      // the half being filled
  std::vector<Run> runs_;            // in order of addition
  RunDir run_dir_;                   // where the runs go, and their names
  std::uint64_t max_open_;           // handed over for the merge plan
  std::optional<Chunk> spare_;       // the emptied half a spill sent back
  std::shared_ptr<WorkerPool> pool_; // present exactly when threads >= 2
  std::uint64_t half_;               // max_bytes / 2: the limit of one half
  std::optional<Pending> pending_;   // the spill in flight
  SpillPace pace_;  // between this thread and the spill in flight
  MadeHere made_;                    // joins happen only where the threads are
  bool stopped_ = false;             // a failure lost items, or adding ended
};

}  // namespace quillmere
