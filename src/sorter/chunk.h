// One half of the sorter's memory: every item's encoded key and payload packed
// into one byte arena, and one 16-byte Entry per item saying where its bytes
// are. An Entry holds no pointer, so entries can be sorted and a chunk handed
// to another thread by moving it; a chunk belongs to one thread at a time.
//
// A half is held within a limit (the sorter's max_bytes / 2) by counting
// capacities, not lengths: room() decides how the two buffers grow toward
// the limit, and when the half must be spilled instead. sort() orders the
// entries by key, equal keys in order of addition, on the calling thread or
// on the sorter's worker pool.

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "sorter/chunk_buffer.h"

namespace quillmere {

class WorkerPool;

struct Entry {
  std::uint64_t offset;       // index in data of the item's first key byte
  std::uint32_t key_len;      // the key's length; the payload follows at once
  std::uint32_t payload_len;  // the payload's length

  friend bool operator==(const Entry&, const Entry&) = default;
};
static_assert(sizeof(Entry) == 16, "an item costs exactly 16 bytes besides its bytes");

struct Chunk {
  ChunkBuffer<std::byte> data;  // keys and payloads in order of addition
  ChunkBuffer<Entry> entries;   // one per item
  // The leading pieces (of kPieceEntries entries) sorted while the chunk
  // filled, which sort_pieces() skips; 0 in a chunk emptied for reuse.
  std::size_t sorted_pieces = 0;

  // Empties the chunk for reuse, keeping its buffers' capacities.
  void clear() noexcept {
    data.clear();
    entries.clear();
    sorted_pieces = 0;
  }

  // What the chunk holds against the memory limit: capacities, not lengths,
  // so that what is reserved is what is counted.
  std::uint64_t footprint() const noexcept {
    return data.capacity() + sizeof(Entry) * entries.capacity();
  }
};

// What one more item needs of a chunk.
struct Room {
  enum class Kind : std::uint8_t {
    Fits,  // the present capacities take it; change nothing
    Grow,  // set both capacities to exactly the values below; then it fits
    Full,  // the chunk must be spilled first
  };

  static Room fits() noexcept { return Room{Kind::Fits, 0, 0}; }
  static Room grow(std::uint64_t data, std::uint64_t entries) noexcept {
    return Room{Kind::Grow, data, entries};
  }
  static Room full() noexcept { return Room{Kind::Full, 0, 0}; }

  friend bool operator==(const Room&, const Room&) = default;

  Kind kind;
  std::uint64_t data_capacity;     // Grow only
  std::uint64_t entries_capacity;  // Grow only
};

// The first sizes of a chunk's buffers; from there they double.
inline constexpr std::uint64_t kFirstDataCapacity = 65536;
inline constexpr std::uint64_t kFirstEntriesCapacity = 1024;

// What adding an item of `need` bytes (key plus payload) asks of `chunk`
// whose footprint must stay within `limit`. The buffers double while that
// stays within the limit; near it they are re-proportioned to the items'
// exact need; the chunk is Full once that need passes seven eighths of the
// limit. An empty chunk always takes an item, however large, so the
// footprint passes the limit only after one oversized item. Pure.
Room room(const Chunk& chunk, std::uint64_t need, std::uint64_t limit) noexcept;

// Applies room(): true if the item now fits, false (nothing changed) if the
// chunk is Full. Grow sets data's capacity and then entries' to exactly the
// values given, shrinking a buffer when asked but never below its length;
// the contents are kept. Throws std::bad_alloc, like any growing buffer,
// when the memory cannot be had.
bool make_room(Chunk& chunk, std::uint64_t need, std::uint64_t limit);

// Adds one item: its entry, then its key and payload bytes to the arena.
// REQUIRES: make_room(chunk, key.size() + payload.size(), ...) gave true,
// and each length is below 4 GiB.
void append(Chunk& chunk, std::span<const std::byte> key, std::span<const std::byte> payload);

// A task of a parallel sort sorts a range of at most this many entries by
// itself rather than splitting it further.
inline constexpr std::size_t kSortTaskEntries = 32768;

// Entries are finally sorted in pieces of at most this many, each through a
// buffer of its keys' 8-byte prefixes (16 bytes an entry, 256 KiB a piece)
// held beside them, so that comparisons read the caches and not the arena.
inline constexpr std::size_t kPieceEntries = 16384;

// Orders the entries by key (unsigned bytes, a proper prefix first), equal
// keys by offset, that is in order of addition, then by payload length,
// which orders the empty items that share an offset. This is a total order,
// so every way of sorting gives the same result. Without a pool, or with at
// most kSortTaskEntries entries, the calling thread sorts in place; else the
// pool's threads sort parts of the range while the caller waits. Beyond a
// piece's buffer for each thread that sorts, allocates nothing in proportion
// to the number of entries; data is only read.
// REQUIRES: the caller is not one of the pool's threads.
void sort(Chunk& chunk, WorkerPool* pool);

// Sorts, on the calling thread, every complete piece after the first
// `chunk.sorted_pieces`, and counts them there. What the adding thread does
// when it runs ahead of the spill in flight: each piece it sorts is one the
// spill of this chunk will not have to.
void sort_complete_pieces(Chunk& chunk) noexcept;

// What a spill does instead of sort(): orders each piece of kPieceEntries
// consecutive entries (the last piece may be shorter) by itself, in place,
// the pieces on the pool's threads when there is one, all but the first
// `chunk.sorted_pieces`, which are in order already. Writing then merges
// the pieces (for_each_sorted). That skips the first splits of a whole
// sort, which wait on memory for nearly every key (the keys of a large half
// are spread over an arena far larger than the caches); a piece's keys fit
// in them. REQUIRES: the caller is not one of the pool's threads.
void sort_pieces(Chunk& chunk, WorkerPool* pool);

// Calls visit(entry) for each entry in the order sort() gives, by merging
// the pieces that sort_pieces() (or sort()) left in order; stops, returning
// false, as soon as visit does. Allocates in proportion to the number of
// pieces only.
bool for_each_sorted(const Chunk& chunk, const std::function<bool(const Entry&)>& visit);

}  // namespace quillmere
