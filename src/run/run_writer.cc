// Cutting the record stream into blocks, compressing them, and writing them.

#include "run/run_writer.h"

#include <fcntl.h>
#include <lz4.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "base/byte_order.h"
#include "base/fd.h"
#include "base/mutex.h"
#include "run/format.h"

namespace quillmere {
namespace {

constexpr std::size_t kOutputBufferSize = 1 << 20;
constexpr std::size_t kMaxSlots = 16;  // about 4.2 MiB of block buffers

static_assert(kMaxPacked < kOutputBufferSize, "a packed block always fits the write buffer");

// The bound a header may announce must hold whatever LZ4 produces, or a
// block of incompressible bytes could not be written.
constexpr bool bound_covers_lz4() {
  for (std::size_t u = 1; u <= kBlockSize; ++u) {
    if (static_cast<std::size_t>(LZ4_COMPRESSBOUND(u)) > max_compressed_size(u)) return false;
  }
  return true;
}
static_assert(bound_covers_lz4());

// Block slots: 1 without a pool, else twice the pool's threads, at most
// kMaxSlots, in two groups: one group's blocks are compressed at once, a
// block for each thread, while the other fills. The cap bounds the writer's
// memory.
std::size_t slot_count(const WorkerPool* pool) {
  if (pool == nullptr) return 1;
  return std::min(2 * pool->size(), kMaxSlots);
}

// A length and its bytes at `out`; returns where they end.
std::byte* append_field(std::byte* out, std::span<const std::byte> field) {
  store_le(out, static_cast<std::uint32_t>(field.size()));
  if (!field.empty()) std::memcpy(out + kRecordLengthSize, field.data(), field.size());
  return out + kRecordLengthSize + field.size();
}

}  // namespace

// What the tasks compressing one batch share. Lives on the heap while the
// writer goes on, or on the stack of the thread that waits for it.
struct RunWriter::Batch {
  // Starts compressing `blocks` on the pool.
  Batch(WorkerPool& pool, std::span<Block> blocks) : group(pool), all(blocks) {
    // The one capture fits std::function's own storage, so this allocates nothing.
    group.spawn([this] { compress(all); });
  }
  // The tasks use every member: they must end first.
  ~Batch() { static_cast<void>(group.wait()); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  // Waits until every block is compressed, or one failed.
  Result<> wait() {
    Result<> waited = group.wait();
    MutexLock lock(mu);
    if (error) return fail(std::move(*error));
    return waited;  // a task that ran out of memory
  }

  // Compresses `blocks`, handing the upper half of the range to a new task
  // until one block is left for this one.
  void compress(std::span<Block> blocks) {
    while (blocks.size() > 1) {
      std::span<Block> upper = blocks.subspan(blocks.size() / 2);
      group.spawn([this, upper] { compress(upper); });
      blocks = blocks.first(blocks.size() / 2);
    }
    // Once one block has failed the batch is lost; spare the others.
    if (failed.load(std::memory_order_relaxed)) return;
    if (Result<> r = blocks.front().compress(); !r) {
      MutexLock lock(mu);
      if (!error) error = std::move(r.error());
      failed.store(true, std::memory_order_relaxed);
    }
  }

  TaskGroup group;
  std::span<Block> all;
  // Relaxed: only a hint to skip work; the error itself is under mu.
  std::atomic<bool> failed{false};
  Mutex mu;
  std::optional<Error> error QM_GUARDED_BY(mu);  // the first failure
};

Result<RunWriter> RunWriter::create(std::filesystem::path path, std::shared_ptr<WorkerPool> pool) {
  assert(pool == nullptr || pool->size() >= 1);
  std::vector<std::byte> buffer;
  std::vector<Block> blocks;
  // Allocate before creating the file, so that a failure leaves nothing.
  try {
    buffer.reserve(kOutputBufferSize);
    blocks.resize(slot_count(pool.get()));
  } catch (const std::bad_alloc&) {
    return fail(Error::io(IoKind::OutOfMemory).with_path(path));
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return fail(Error::from_errno(errno).with_path(path));
  return RunWriter(std::move(path), std::move(pool), Output(Fd(fd), std::move(buffer)),
                   std::move(blocks));
}

RunWriter::RunWriter(std::filesystem::path path, std::shared_ptr<WorkerPool> pool, Output output,
                     std::vector<Block> blocks) noexcept
    : output_(std::move(output)),
      path_(std::move(path)),
      blocks_(std::move(blocks)),
      group_size_(pool == nullptr ? blocks_.size() : blocks_.size() / 2),
      pool_(std::move(pool)) {
  assert(group_size_ >= 1);
}

RunWriter::RunWriter(RunWriter&&) noexcept = default;

// Here, where Batch is complete; in_flight_, declared last, goes first.
RunWriter::~RunWriter() = default;

Result<> RunWriter::push(std::span<const std::byte> key, std::span<const std::byte> payload) {
  assert(key.size() <= UINT32_MAX && payload.size() <= UINT32_MAX);
  ++count_;
  const std::size_t framed = key.size() + payload.size() + kRecordOverhead;
  bytes_ += framed;
  // Most records fit in the slot being filled with room to spare: four
  // copies, and no block to finish.
  Block& block = blocks_[filling_];
  if (block.raw != nullptr && kBlockSize - block.raw_len > framed) {
    append_field(append_field(block.raw.get() + block.raw_len, key), payload);
    block.raw_len += framed;
    return {};
  }
  if (Result<> r = write_record(key, payload); !r) {
    return fail(std::move(r.error()).with_path(path_));
  }
  return {};
}

Result<Run> RunWriter::finish() && {
  RunWriter self = std::move(*this);  // its file and buffers go when this returns
  if (Result<> r = self.finish_file(); !r) return fail(std::move(r.error()).with_path(self.path_));
  return Run{std::move(self.path_), self.count_, self.bytes_};
}

Result<> RunWriter::finish_file() {
  if (Result<> r = write_in_flight(); !r) return r;
  // The group being filled, its last block perhaps partly.
  const bool partial = filling_ < group_end() && blocks_[filling_].raw_len != 0;
  const std::size_t filled = filling_ - group_start_ + (partial ? 1 : 0);
  if (Result<> r = write_now(std::span(blocks_).subspan(group_start_, filled)); !r) return r;
  return output_.close();
}

Result<> RunWriter::write_record(std::span<const std::byte> key,
                                 std::span<const std::byte> payload) {
  std::byte length[kRecordLengthSize];
  store_le(length, static_cast<std::uint32_t>(key.size()));
  if (Result<> r = write_bytes(length); !r) return r;
  if (Result<> r = write_bytes(key); !r) return r;
  store_le(length, static_cast<std::uint32_t>(payload.size()));
  if (Result<> r = write_bytes(length); !r) return r;
  return write_bytes(payload);
}

Result<> RunWriter::write_bytes(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    Block& block = blocks_[filling_];
    if (block.raw == nullptr) {
      try {
        block.raw = std::make_unique_for_overwrite<std::byte[]>(kBlockSize);
      } catch (const std::bad_alloc&) {
        return fail(Error::io(IoKind::OutOfMemory));
      }
    }
    const std::size_t n = std::min(kBlockSize - block.raw_len, bytes.size());
    std::memcpy(block.raw.get() + block.raw_len, bytes.data(), n);
    block.raw_len += n;
    bytes = bytes.subspan(n);
    if (block.raw_len == kBlockSize && ++filling_ == group_end()) {
      if (Result<> r = hand_over_group(); !r) return r;
    }
  }
  return {};
}

Result<> RunWriter::hand_over_group() {
  std::span<Block> full = std::span(blocks_).subspan(group_start_, group_size_);
  if (Result<> r = write_in_flight(); !r) return r;
  if (!sharing()) {
    if (Result<> r = write_now(full); !r) return r;
  } else {
    try {
      in_flight_ = std::make_unique<Batch>(*pool_, full);
    } catch (const std::bad_alloc&) {
      if (Result<> r = write_now(full); !r) return r;
    }
    group_start_ = group_start_ == 0 ? group_size_ : 0;
  }
  filling_ = group_start_;
  return {};
}

Result<> RunWriter::write_in_flight() {
  if (!in_flight_) return {};
  std::unique_ptr<Batch> batch = std::move(in_flight_);
  if (Result<> r = batch->wait(); !r) return r;
  return write_packed(batch->all);
}

Result<> RunWriter::write_now(std::span<Block> blocks) {
  if (!sharing() || blocks.size() < 2) {
    for (Block& block : blocks) {
      if (Result<> r = block.compress(); !r) return r;
    }
  } else {
    Batch batch(*pool_, blocks);
    if (Result<> r = batch.wait(); !r) return r;
  }
  return write_packed(blocks);
}

Result<> RunWriter::write_packed(std::span<Block> blocks) {
  for (Block& block : blocks) {
    if (Result<> r = output_.write({block.packed.data(), block.packed_len}); !r) return r;
    block.raw_len = 0;  // keeps its room for the next batch
  }
  return {};
}

Result<> RunWriter::Block::compress() {
  const std::size_t u = raw_len;
  const std::size_t room = max_compressed_size(u);
  if (packed.size() < kBlockHeaderSize + room) {
    try {
      packed.resize(kBlockHeaderSize + room);
    } catch (const std::bad_alloc&) {
      return fail(Error::io(IoKind::OutOfMemory));
    }
  }
  int c = LZ4_compress_fast(reinterpret_cast<const char*>(raw.get()),
                            reinterpret_cast<char*>(packed.data() + kBlockHeaderSize),
                            static_cast<int>(u), static_cast<int>(packed.size() - kBlockHeaderSize),
                            kLz4Acceleration);
  if (c <= 0) return fail(Error::io(IoKind::Other, "lz4 could not compress a block"));
  store_le(packed.data(), static_cast<std::uint32_t>(c));
  store_le(packed.data() + 4, static_cast<std::uint32_t>(u));
  assert(is_valid_block_header(static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(u)));
  packed_len = kBlockHeaderSize + static_cast<std::size_t>(c);
  return {};
}

Result<> RunWriter::Output::write(std::span<const std::byte> bytes) {
  assert(bytes.size() <= buffer_.capacity());
  if (bytes.size() > buffer_.capacity() - buffer_.size()) {
    if (Result<> r = flush(); !r) return r;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());  // within capacity
  return {};
}

// Partial writes continue and interrupted ones are retried. On failure the
// buffer keeps only what was not written.
Result<> RunWriter::Output::flush() {
  std::size_t written = 0;
  Result<> result;
  while (written < buffer_.size()) {
    ssize_t n = ::write(file_.get(), buffer_.data() + written, buffer_.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n == 0) {
      result = fail(Error::io(IoKind::WriteZero, "failed to write the buffered data"));
      break;
    } else if (errno != EINTR) {
      result = fail(Error::from_errno(errno));
      break;
    }
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(written));
  return result;
}

// A failed write is the error to report; close()'s own error counts only
// when every byte was written.
Result<> RunWriter::Output::close() {
  Result<> flushed = flush();
  Result<> closed = file_.close();
  if (!flushed) return flushed;
  return closed;
}

void RunWriter::Output::discard() noexcept {
  if (!file_) return;
  try {
    (void)flush();
  } catch (const std::bad_alloc&) {
    // Making the ignored error's message needed memory; it is ignored anyway.
  }
  file_.reset();
}

}  // namespace quillmere
