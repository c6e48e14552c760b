// The k-way merge of sorted sources into one sorted stream of records.
//
// Sources are spilled runs, read through RunReader, and at most one sorted
// half still in memory. Of two records with equal keys the one from the
// lower-numbered source comes first, and sources are numbered in the order
// their items were added, so equal keys come out in order of addition.
//
// The final merge of a sort also owns the sorter's private directory and
// removes it as soon as the last record has been taken, as soon as the
// merge fails, or when it is dropped. A Merged is used by one thread at a
// time and has no locks; it never looks at the interpreter.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "base/error.h"
#include "run/run_reader.h"
#include "sorter/chunk.h"
#include "sorter/private_dir.h"

namespace quillmere {

// One input of a merge: a run, or a sorted half held in memory.
class Source {
 public:
  static Source run(RunReader reader);
  // REQUIRES: the chunk is sorted.
  static Source held(Chunk chunk);

  // Points `key` and `payload` at the next record, valid until this source
  // reads again: at its place in a held half or in a run's current block,
  // or, for a record that spans blocks, in the two buffers, replacing what
  // they held (their capacities only grow). Returns false at the source's
  // end. A run's errors are reworded with its path: "PATH is corrupt:
  // MESSAGE" for InvalidData, "PATH ended before its last record" for
  // UnexpectedEof, "PATH: MESSAGE" otherwise, each keeping its kind; a
  // buffer that cannot grow fails with OutOfMemory.
  [[nodiscard]] Result<bool> read(std::span<const std::byte>& key,
                                  std::span<const std::byte>& payload,
                                  std::vector<std::byte>& key_buffer,
                                  std::vector<std::byte>& payload_buffer);

 private:
  struct Held {
    Chunk chunk;
    std::size_t position = 0;  // index of the next entry to hand out
  };
  explicit Source(std::variant<RunReader, Held> v) : v_(std::move(v)) {}


  std::variant<RunReader, Held> v_;
};

class Merged {
 public:
  // A record handed out by next_record(): views valid until the next call.
  struct Record {
    std::span<const std::byte> key;
    std::span<const std::byte> payload;
  };

  // Takes over the sources (in index order) and the optional private
  // directory, and reads the first record of every source. If every source
  // is empty, closes them and removes the directory at once. If a first
  // record cannot be read, releases everything, removes the directory and
  // returns the error.
  [[nodiscard]] static Result<Merged> create(std::vector<Source> sources,
                                             std::optional<PrivateDir> dir);

  Merged(Merged&&) noexcept;
  Merged& operator=(Merged&&) noexcept;
  Merged(const Merged&) = delete;
  Merged& operator=(const Merged&) = delete;
  ~Merged();

  // The next record in order, or none at the end (then again none on every
  // later call). At the end every source is closed and the directory
  // removed. A failed read reports its error once, releases everything and
  // removes the directory; every later call returns the lost-items error.
  [[nodiscard]] Result<std::optional<Record>> next_record();

 private:
  // A source's record waiting or handed out.
  struct Head {
    std::span<const std::byte> key;      // the record, where its source holds it
    std::span<const std::byte> payload;  // or in the buffers below
    std::vector<std::byte> key_buffer;      // a record that spans blocks
    std::vector<std::byte> payload_buffer;  // is copied here
  };
  // What the heap orders: small, so that sifting moves little, with the
  // key's prefix at hand so that most comparisons end without the head.
  struct Slot {
    std::uint64_t prefix;  // the key's first 8 bytes, big-endian, zero-padded
    std::uint32_t next;    // its bytes 8 to 11, the same way
    std::uint32_t key_len;
    std::size_t source;
  };
  static Slot slot_of(std::span<const std::byte> key, std::size_t source) noexcept;
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  static constexpr std::uint32_t kSlotBytes = 12;  // of a key, a slot holds

  Merged(std::vector<Source> sources, std::optional<PrivateDir> dir) noexcept;

  [[nodiscard]] Result<> read_first_records();
  // Makes the heap's first head current, or ends the merge when none waits.
  [[nodiscard]] Result<std::optional<Record>> pop();
  Record view() const noexcept;
  // Heap order: by key, then by source index. Strict, as no two heads share
  // a source.
  bool comes_before(const Slot& a, const Slot& b) const noexcept;
  // REQUIRES: capacity for one more slot (reserved by read_first_records).
  void push(Slot slot) noexcept;
  // Restores the heap after its first element was replaced.
  void restore_heap() noexcept;
  // Frees the heads, closes every source, then removes the directory.
  void release() noexcept;

  std::vector<Source> sources_;
  std::vector<Head> heads_;  // one for each source, by index
  // The waiting heads but current_'s, each parent before its children in
  // heap order; current_'s head, when there is one, comes before them all.
  std::vector<Slot> heap_;
  std::size_t current_ = kNone;    // the source of the record last handed out
  std::optional<PrivateDir> dir_;  // the final merge's private directory
  bool failed_ = false;            // a read failed: the rest is lost
};

}  // namespace quillmere
