// Writes one run file, front to back, in the layout of run/format.h.
//
// Records are pushed in sorted order (not checked) and cut into blocks, which
// are compressed and appended in order to a 1 MiB write buffer over the file.
// Without a pool the writer has one block slot, compressed by the pushing
// thread when full. With a pool its slots form two groups: while the pool
// compresses one group's full blocks, records go on filling the other, so
// the pushing thread copies records and the pool compresses at once. The
// file's bytes are the same whatever the number of slots.
//
// A RunWriter owns its file descriptor, its buffers and a share of the pool.
// finish() consumes it and returns the Run; dropping an unfinished writer
// writes out what is buffered, ignoring errors, closes the file and leaves
// it where it is. A writer that returned an error is not used again.
//
// Not safe for concurrent use: one thread at a time, which waits for the
// pool while blocks are compressed and so must not be one of its threads.

#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/fd.h"
#include "base/pool.h"
#include "run/run.h"

namespace quillmere {

class RunWriter {
 public:
  // Creates the file at `path`, which must not exist yet (mode 0666 before
  // the umask, closed on exec). `pool` may be null; with it, blocks are
  // compressed on its threads. REQUIRES: a pool has at least one thread.
  [[nodiscard]] static Result<RunWriter> create(std::filesystem::path path,
                                                std::shared_ptr<WorkerPool> pool);

  RunWriter(RunWriter&&) noexcept;
  // Not assignable: the blocks being compressed must outlive their batch.
  RunWriter& operator=(RunWriter&&) = delete;
  RunWriter(const RunWriter&) = delete;
  RunWriter& operator=(const RunWriter&) = delete;
  // Waits for a batch still being compressed; Output's destructor then
  // discards the file.
  ~RunWriter();

  // Appends one record. REQUIRES: both lengths below 4 GiB.
  [[nodiscard]] Result<> push(std::span<const std::byte> key, std::span<const std::byte> payload);

  // Records pushed so far.
  std::uint64_t count() const noexcept { return count_; }

  // Whether full blocks go to the pool (the default, when there is one) or
  // are compressed on the calling thread from now on. A writer that keeps
  // up alone leaves the pool's cores to threads that are behind.
  void share_pool(bool share) noexcept { share_ = share; }

  // Writes out every block and closes the file, without syncing it: a run
  // never outlives the process that wrote it. Consumes the writer: its file
  // and buffers are gone when this returns, whatever the result.
  [[nodiscard]] Result<Run> finish() &&;

 private:
  // One block in the making.
  struct Block {
    // Uncompressed bytes: kBlockSize of room once used, raw_len of them
    // filled. Not a vector, so that a record is four plain copies.
    std::unique_ptr<std::byte[]> raw;
    std::size_t raw_len = 0;
    std::vector<std::byte> packed;  // header then compressed bytes; never shrunk
    std::size_t packed_len = 0;     // bytes of packed in use: C + 8

    [[nodiscard]] Result<> compress();
  };

  // The file, written through a buffer.
  class Output {
   public:
    Output() = default;
    Output(Fd file, std::vector<std::byte> buffer) noexcept
        : file_(std::move(file)), buffer_(std::move(buffer)) {}
    Output(Output&&) noexcept = default;
    Output& operator=(Output&& other) noexcept {
      std::swap(file_, other.file_);  // other discards what this held
      std::swap(buffer_, other.buffer_);
      return *this;
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { discard(); }

    // REQUIRES: bytes.size() <= the buffer's capacity.
    [[nodiscard]] Result<> write(std::span<const std::byte> bytes);
    // Writes out the buffer, then closes the file, even when writing failed.
    [[nodiscard]] Result<> close();
    // One attempt to write out the buffer, ignoring errors, then closes.
    void discard() noexcept;

   private:
    [[nodiscard]] Result<> flush();

    Fd file_;                        // none once closed or moved from
    std::vector<std::byte> buffer_;  // bytes not yet written; capacity fixed at creation
  };

  struct Batch;

  RunWriter(std::filesystem::path path, std::shared_ptr<WorkerPool> pool, Output output,
            std::vector<Block> blocks) noexcept;

  [[nodiscard]] Result<> write_bytes(std::span<const std::byte> bytes);
  [[nodiscard]] Result<> write_record(std::span<const std::byte> key,
                                      std::span<const std::byte> payload);
  // The filling group is full: writes the group compressed meanwhile, then
  // hands this one to the pool and goes on with the other (or, not sharing
  // the pool, compresses and writes this one and fills it again).
  [[nodiscard]] Result<> hand_over_group();
  // Waits for the batch in flight, if any, and writes its blocks.
  [[nodiscard]] Result<> write_in_flight();
  // Compresses `blocks` on this thread, or on the pool while it waits, and
  // writes them.
  [[nodiscard]] Result<> write_now(std::span<Block> blocks);
  [[nodiscard]] Result<> write_packed(std::span<Block> blocks);
  [[nodiscard]] Result<> finish_file();
  std::size_t group_end() const noexcept { return group_start_ + group_size_; }
  bool sharing() const noexcept { return pool_ != nullptr && share_; }

  Output output_;
  std::filesystem::path path_;
  std::vector<Block> blocks_;         // the slots; their number fixed at creation
  std::size_t group_size_;            // slots in a group: all of them without a pool
  std::size_t group_start_ = 0;       // first slot of the group being filled
  std::size_t filling_ = 0;           // index of the slot being filled
  std::shared_ptr<WorkerPool> pool_;  // null: compress on the calling thread
  bool share_ = true;                 // full groups go to the pool, if any
  std::uint64_t count_ = 0;           // records pushed
  std::uint64_t bytes_ = 0;           // framed bytes pushed
  // The other group, being compressed. Declared last, so destroyed first:
  // its destructor waits for the tasks that write into blocks_.
  std::unique_ptr<Batch> in_flight_;
};

}  // namespace quillmere
