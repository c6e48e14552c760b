// The core sorter: construction, adding, spilling, the hand-over at the end
// of adding, and dropping.

#include "sorter/sorter.h"

#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "run/run_writer.h"

namespace quillmere {
namespace {

// A bad spill directory should fail the constructor, not the first spill.
Result<> check_tmp_dir(const std::filesystem::path& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return fail(Error::from_errno(errno).with_path(dir));
  if (!S_ISDIR(st.st_mode)) {
    return fail(Error::io(IoKind::NotADirectory, dir.native() + " is not a directory"));
  }
  // Making one and dropping it at once proves that spilling can begin.
  Result<PrivateDir> probe = make_dir(dir);
  if (!probe) return fail(std::move(probe.error()));
  return {};
}

}  // namespace

Result<std::unique_ptr<Sorter>> Sorter::create(Config config) {
  if (Result<> r = check_settings(config.max_bytes, config.max_open, config.threads); !r) {
    return fail(r.error());
  }
  if (Result<> r = check_tmp_dir(config.tmp_dir); !r) return fail(r.error());
  std::shared_ptr<WorkerPool> pool;
  if (config.threads >= 2) {
    Result<std::shared_ptr<WorkerPool>> started = WorkerPool::start(config.threads);
    if (!started) return fail(std::move(started.error()));
    pool = std::move(*started);
  }
  return std::unique_ptr<Sorter>(new Sorter(std::move(config), std::move(pool)));
}

Sorter::Sorter(Config config, std::shared_ptr<WorkerPool> pool)
    : run_dir_(std::move(config.tmp_dir)),
      max_open_(config.max_open),
      pool_(std::move(pool)),
      half_(config.max_bytes / 2) {}

Sorter::~Sorter() {
  if (!pending_) return;
  if (!made_.here()) {
    // Forked: the spill thread is not in this process, and its channel's
    // lock may have been held at the fork. Touch neither.
    abandon(std::move(*pending_));
    return;
  }
  // The spill thread may still be writing into the private directory, which
  // goes with the members below; wait for it first, whatever it took.
  pending_->handle.join();
  pending_.reset();  // frees a half still queued in the channel
}

}  // namespace quillmere

namespace quillmere {
namespace {

// Empties a written half for reuse. One enlarged for an oversized item is
// released rather than kept, so the next half starts small again.
void empty_for_reuse(Chunk& chunk, std::uint64_t half) {
  if (chunk.footprint() > half) {
    chunk = Chunk();
    return;
  }
  chunk.clear();
}

// The spill thread's body: sort the half, write it, send it back emptied
// (or the reason it could not be written).
void spill_task(Chunk chunk, std::filesystem::path path, Sender<Result<Chunk>> sender,
                std::shared_ptr<WorkerPool> pool, std::uint64_t half,
                SpillPace* pace) noexcept {
  try {
    // The pieces adding left unsorted (all of the first half's) go to the
    // pool whatever the pace: the sooner writing starts, the sooner adding
    // has its half back.
    sort_pieces(chunk, pool.get());
    Result<> written = write_run(chunk, path, std::move(pool), pace);
    if (!written) {
      chunk = Chunk();
      sender.send(fail(std::move(written.error())));
      return;
    }
    empty_for_reuse(chunk, half);
    sender.send(std::move(chunk));
  } catch (const std::bad_alloc&) {
    chunk = Chunk();
    sender.send(fail(Error::io(IoKind::OutOfMemory)));
  } catch (...) {
    // Nothing is sent: the waiter sees the channel close and reports that
    // the spill stopped.
  }
}

}  // namespace

Result<> write_run(const Chunk& chunk, const std::filesystem::path& path,
                   std::shared_ptr<WorkerPool> pool, SpillPace* pace) {
  Result<RunWriter> writer = RunWriter::create(path, std::move(pool));
  if (!writer) return fail(std::move(writer.error()));
  if (pace != nullptr) writer->share_pool(pace->adding_ahead());
  Result<> pushed;
  for_each_sorted(chunk, [&](const Entry& e) {
    const std::byte* key = chunk.data.data() + e.offset;
    pushed = writer->push({key, e.key_len}, {key + e.key_len, e.payload_len});
    // Often enough for either thread to follow the other, seldom enough to
    // cost nothing.
    if (pace != nullptr && writer->count() % 1024 == 0) {
      pace->written.store(writer->count(), std::memory_order_relaxed);
      writer->share_pool(pace->adding_ahead());
    }
    return pushed.has_value();
  });
  if (!pushed) return pushed;  // dropping the writer discards the file
  Result<Run> run = std::move(*writer).finish();
  if (!run) return fail(std::move(run.error()));
  return {};
}

bool Sorter::must_spill(std::uint64_t need) const noexcept {
  return room(chunk_, need, half_).kind == Room::Kind::Full;
}

Result<> Sorter::stop_on_failure(Result<> r) {
  if (!r) stopped_ = true;
  return r;
}

bool Sorter::push_if_it_fits(std::span<const std::byte> key,
                             std::span<const std::byte> payload) noexcept {
  if (stopped_ || key.size() >= kMaxFieldLength || payload.size() >= kMaxFieldLength ||
      room(chunk_, key.size() + payload.size(), half_).kind != Room::Kind::Fits) {
    return false;
  }
  append(chunk_, key, payload);
  publish_filled();
  return true;
}

Result<> Sorter::push(std::span<const std::byte> key, std::span<const std::byte> payload,
                      StopCheck& stop) {
  if (push_if_it_fits(key, payload)) return {};
  const std::uint64_t need = key.size() + payload.size();
  if (must_spill(need)) {
    // An interruption leaves the spill pending and the sorter usable; a
    // failed spill has stopped the sorter already.
    if (Result<> r = wait_or_stop(stop); !r) return r;
  }
  if (stopped_) return fail(Error::lost());
  if (key.size() >= kMaxFieldLength || payload.size() >= kMaxFieldLength) {
    return fail(Error::invalid("a key or value must be shorter than 4 GiB"));
  }
  try {
    if (!make_room(chunk_, need, half_)) {
      if (Result<> r = stop_on_failure(wait()); !r) return r;
      Result<std::filesystem::path> path = run_dir_.next_path();
      if (!path) return stop_on_failure(fail(std::move(path.error())));
      if (Result<> r = stop_on_failure(spill(std::move(*path))); !r) return r;
      // An empty half always takes an item, however large.
      make_room(chunk_, need, half_);
    }
    append(chunk_, key, payload);
  } catch (const std::bad_alloc&) {
    // Only growing a buffer can throw, before anything was appended, and a
    // vector that fails to grow keeps its contents: nothing is lost.
    return fail(Error::io(IoKind::OutOfMemory));
  }
  return {};
}

Result<> Sorter::spill(std::filesystem::path path) {
  // From here on a failure loses the full half: the caller stops the sorter.
  try {
    Chunk full = std::move(chunk_);
    chunk_ = spare_ ? std::move(*spare_) : Chunk();
    spare_.reset();
    // Listed at once, before its file is written: the run's place in the
    // list is its place in the order of addition.
    runs_.push_back(Run{path, full.entries.size(), full.data.size() + 8 * full.entries.size()});

    Result<Channel<SpillResult>::Ends> channel = Channel<SpillResult>::make(1);
    if (!channel) return fail(std::move(channel.error()));
    pace_.written.store(0, std::memory_order_relaxed);
    pace_.filled.store(0, std::memory_order_relaxed);
    // The thread is joined before the sorter goes, so it may count into it.
    std::thread thread = [&] {
      const OutsideSignalsBlocked blocked;
      return std::thread(spill_task, std::move(full), std::move(path), std::move(channel->sender),
                         pool_, half_, &pace_);
    }();
    name_thread(thread, "quillmere-spill");
    pending_.emplace(Pending{std::move(thread), std::move(channel->receiver)});
    return {};
  } catch (const std::system_error& e) {
    return fail(Error::from_errno(e.code().value()));  // the thread could not start
  } catch (const std::bad_alloc&) {
    return fail(Error::io(IoKind::OutOfMemory));
  }
}

Result<> Sorter::wait() {
  NeverStop go_on;
  return wait_or_stop(go_on);
}

Result<> Sorter::wait_or_stop(StopCheck& stop) {
  if (!pending_) return {};
  pace_.waiting.store(true, std::memory_order_relaxed);
  const struct Done {
    SpillPace& pace;
    ~Done() { pace.waiting.store(false, std::memory_order_relaxed); }
  } done{pace_};
  for (;;) {
    ReceiveResult<SpillResult> received = pending_->receiver.receive(kPollInterval);
    if (received.status != ReceiveStatus::TimedOut) return collect(std::move(received));
    if (stop.should_stop()) return fail(Error::io(IoKind::Interrupted));
  }
}

Result<> Sorter::collect(ReceiveResult<SpillResult> received) {
  Pending done = std::move(*pending_);
  pending_.reset();
  done.handle.join();
  if (received.status == ReceiveStatus::Disconnected) {
    return stop_on_failure(fail(Error::io(IoKind::Other, "a spill stopped")));
  }
  SpillResult& result = *received.value;
  if (!result) return stop_on_failure(fail(std::move(result.error())));
  spare_ = std::move(*result);
  return {};
}

Result<AddedRecords> Sorter::end_adding(StopCheck& stop) {
  if (stopped_) return fail(Error::lost());
  // A failure or interruption leaves everything here, spill included, for
  // the destructor to join and remove.
  if (Result<> r = wait_or_stop(stop); !r) return fail(std::move(r.error()));
  spare_.reset();
  // Nothing more may be added to what is handed over.
  stopped_ = true;
  return AddedRecords{std::exchange(runs_, {}), std::exchange(chunk_, Chunk()),
                      std::move(run_dir_), std::move(pool_), max_open_};
}

}  // namespace quillmere
