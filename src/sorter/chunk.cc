// How a half's two buffers grow toward its limit, and the in-place sort of
// its entries, on the calling thread or on the worker pool.

#include "sorter/chunk.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/byte_order.h"
#include "base/error.h"
#include "base/pool.h"
#include "base/tournament.h"
#include "key/order.h"

namespace quillmere {
namespace {

// The growth a chunk gets when doubling (or its first sizes) stays within
// the limit; none when it would pass it.
std::optional<Room> grown(std::uint64_t b, std::uint64_t e, std::uint64_t n, std::uint64_t w,
                          std::uint64_t limit) {
  const std::uint64_t d = w <= b ? b : std::max({2 * b, w, kFirstDataCapacity});
  if (n >= e) {
    const std::uint64_t e2 = std::max({2 * e, n + 1, kFirstEntriesCapacity});
    if (d + sizeof(Entry) * e2 <= limit) return Room::grow(d, e2);
  } else if (d + sizeof(Entry) * e <= limit) {
    return Room::grow(d, e);
  }
  return std::nullopt;
}

// Near the limit the buffers share it in the proportion of what the items
// need, so a half of small items gives up arena for entries and a half of
// large items the reverse. Spilling at seven eighths rather than at the
// limit itself keeps a nearly full half from being re-proportioned for
// every item.
Room proportioned(std::uint64_t n, std::uint64_t w, std::uint64_t limit) {
  const std::uint64_t exact = w + sizeof(Entry) * (n + 1);
  if (exact > limit - limit / 8) return Room::full();
  // w <= exact, so d <= limit; and limit - d >= 16 * (n + 1) so the item fits.
  const auto d = static_cast<std::uint64_t>(static_cast<unsigned __int128>(w) * limit / exact);
  return Room::grow(d, (limit - d) / sizeof(Entry));
}

}  // namespace

Room room(const Chunk& chunk, std::uint64_t need, std::uint64_t limit) noexcept {
  const std::uint64_t b = chunk.data.capacity();
  const std::uint64_t e = chunk.entries.capacity();
  const std::uint64_t n = chunk.entries.size();
  const std::uint64_t w = chunk.data.size() + need;
  if (b + sizeof(Entry) * e > limit) {
    // Above the limit only after one oversized item: only an emptied chunk
    // may use that memory again without a spill.
    if (n == 0 && e >= 1 && w <= b) return Room::fits();
  } else if (w <= b && n < e) {
    return Room::fits();
  }
  if (std::optional<Room> doubled = grown(b, e, n, w, limit)) return *doubled;
  // The first item of a half is always taken, however large.
  if (n == 0) return Room::grow(std::max(b, w), std::max<std::uint64_t>(e, 1));
  return proportioned(n, w, limit);
}

bool make_room(Chunk& chunk, std::uint64_t need, std::uint64_t limit) {
  const Room r = room(chunk, need, limit);
  if (r.kind == Room::Kind::Full) return false;
  if (r.kind == Room::Kind::Grow) {
    chunk.data.set_capacity(r.data_capacity);
    chunk.entries.set_capacity(r.entries_capacity);
  }
  return true;
}

void append(Chunk& chunk, std::span<const std::byte> key, std::span<const std::byte> payload) {
  // Room was made, so neither buffer reallocates and the footprint holds.
  assert(key.size() < (std::uint64_t{1} << 32) && payload.size() < (std::uint64_t{1} << 32));
  assert(chunk.entries.size() < chunk.entries.capacity());
  assert(chunk.data.capacity() - chunk.data.size() >= key.size() + payload.size());
  chunk.entries.push_back(Entry{chunk.data.size(), static_cast<std::uint32_t>(key.size()),
                                static_cast<std::uint32_t>(payload.size())});
  chunk.data.append(key);
  chunk.data.append(payload);
}

namespace {

// Ranges this short are finished by insertion sort.
constexpr std::ptrdiff_t kShortRange = 16;
static_assert(kShortRange >= 3, "partition picks its pivot from three distinct places");
// How many entries ahead a scan over entries prefetches their keys. Keys sit
// at scattered places in an arena far larger than the caches, so waiting
// for them, not comparing them, is what ordering entries by their keys in
// the arena mostly does.
constexpr std::ptrdiff_t kPrefetchAhead = 8;
// How much of a key a piece's buffer holds.
constexpr std::uint32_t kKeyedBytes = 12;

// The order of entries over one arena. Every key is first compared by its
// first 8 bytes read as one big-endian number, which decides almost every
// comparison with one load.
class EntryOrder {
 public:
  using Item = Entry;

  explicit EntryOrder(const Chunk& chunk) noexcept
      : data_(chunk.data.data()), size_(chunk.data.size()) {}

  std::uint64_t prefix(const Entry& e) const noexcept;
  std::uint32_t next_word(const Entry& e) const noexcept;
  bool less_after_prefix(const Entry& a, const Entry& b) const noexcept;
  void prefetch(const Entry& e) const noexcept { __builtin_prefetch(data_ + e.offset); }
  // The lines of a whole record, up to a few: what writing it copies.
  void prefetch_record(const Entry& e) const noexcept {
    const std::uint64_t end = std::min<std::uint64_t>(e.key_len + e.payload_len, 4 * 64);
    for (std::uint64_t at = 0; at < end; at += 64) __builtin_prefetch(data_ + e.offset + at);
  }

 private:
  key::Bytes key_of(const Entry& e) const noexcept { return {data_ + e.offset, e.key_len}; }

  const std::byte* data_;
  std::uint64_t size_;  // data's length: no read may pass it
};

// The bytes after a short key belong to its payload or to the next item, and
// may be read as part of its prefix, but not past the arena's end.
std::uint64_t EntryOrder::prefix(const Entry& e) const noexcept {
  if (e.offset + 8 > size_) return key::prefix(key_of(e));
  return key::prefix_in_place(data_ + e.offset, e.key_len);
}

std::uint32_t EntryOrder::next_word(const Entry& e) const noexcept {
  return key::next_word(key_of(e));
}

// REQUIRES: prefix(a) == prefix(b). Equal keys keep their order of
// addition.
bool EntryOrder::less_after_prefix(const Entry& a, const Entry& b) const noexcept {
  if (int c = key::compare_after_prefix(key_of(a), key_of(b)); c != 0) return c < 0;
  if (a.offset != b.offset) return a.offset < b.offset;
  return a.payload_len < b.payload_len;
}

// An entry of a piece with its key's first 12 bytes copied beside it:
// sorting these compares within a buffer that stays in the caches, and goes
// to the arena only when two keys agree on those bytes and one is longer.
struct Keyed {
  std::uint64_t prefix;  // the key's bytes 0 to 7, as EntryOrder::prefix
  std::uint32_t index;   // of the entry within its piece
  std::uint32_t next;    // bytes 8 to 11, big-endian, zero-padded
};
static_assert(sizeof(Keyed) * kPieceEntries <= 256 * 1024, "a piece's buffer fits the caches");

// The order of a piece's Keyed copies: the order of the entries they stand
// for.
class KeyedOrder {
 public:
  using Item = Keyed;

  KeyedOrder(const EntryOrder& entries, const Entry* piece) noexcept
      : entries_(entries), piece_(piece) {}

  std::uint64_t prefix(const Keyed& k) const noexcept { return k.prefix; }
  bool less_after_prefix(const Keyed& a, const Keyed& b) const noexcept;
  void prefetch(const Keyed&) const noexcept {}  // the buffer is in the caches

 private:
  const EntryOrder& entries_;
  const Entry* piece_;
};

// Zero padding cannot invert an order (see key::prefix), so unequal words
// decide. Keys of at most 12 bytes that agree on their padded 12 bytes
// differ only by trailing zeros, so the shorter is a prefix of the longer:
// their lengths decide, and then the same ties as in the arena.
bool KeyedOrder::less_after_prefix(const Keyed& a, const Keyed& b) const noexcept {
  if (a.next != b.next) return a.next < b.next;
  const Entry& ea = piece_[a.index];
  const Entry& eb = piece_[b.index];
  if (ea.key_len > kKeyedBytes || eb.key_len > kKeyedBytes) {
    return entries_.less_after_prefix(ea, eb);
  }
  if (ea.key_len != eb.key_len) return ea.key_len < eb.key_len;
  if (ea.offset != eb.offset) return ea.offset < eb.offset;
  return ea.payload_len < eb.payload_len;
}

// The sequential introsort over one order's items (entries, or their Keyed
// copies): prefixes first, the rest of the keys only on equal prefixes.
template <class Order>
class RangeSort {
 public:
  using Item = typename Order::Item;

  explicit RangeSort(const Order& order) noexcept : order_(order) {}

  bool less(const Item& a, const Item& b) const noexcept {
    const std::uint64_t pa = order_.prefix(a);
    const std::uint64_t pb = order_.prefix(b);
    if (pa != pb) return pa < pb;
    return order_.less_after_prefix(a, b);
  }

  // Sorts [first, last). `depth` partitions later it gives up on quicksort
  // for heapsort, so a bad run of pivots costs n log n.
  void sort_range(Item* first, Item* last, int depth) const noexcept {
    while (last - first > kShortRange) {
      if (depth == 0) {
        heap_sort(first, last);
        return;
      }
      --depth;
      Item* cut = partition(first, last);
      // Recursing into the smaller side bounds the stack at log2(n) frames.
      if (cut - first < last - cut) {
        sort_range(first, cut, depth);
        first = cut;
      } else {
        sort_range(cut, last, depth);
        last = cut;
      }
    }
    insertion_sort(first, last);
  }

  // Splits [first, last), longer than kShortRange, around a median-of-three
  // pivot: returns cut with [first, cut) <= pivot <= [cut, last), both sides
  // non-empty. Hoare's scheme: both scans stop at items equal to the pivot,
  // so a range of identical entries (empty items sharing an offset) still
  // splits in the middle.
  Item* partition(Item* first, Item* last) const noexcept {
    assert(last - first > kShortRange);
    move_median_to_first(first, first + 1, first + (last - first) / 2, last - 1);
    const Item pivot = *first;
    const std::uint64_t pivot_prefix = order_.prefix(pivot);
    Item* lo = first + 1;
    Item* hi = last;
    for (;;) {
      for (;;) {
        const std::uint64_t p = order_.prefix(*lo);
        if (p != pivot_prefix ? p > pivot_prefix : !order_.less_after_prefix(*lo, pivot)) break;
        ++lo;
        if (last - lo > kPrefetchAhead) order_.prefetch(lo[kPrefetchAhead]);
      }
      --hi;
      for (;;) {
        const std::uint64_t p = order_.prefix(*hi);
        if (p != pivot_prefix ? p < pivot_prefix : !order_.less_after_prefix(pivot, *hi)) break;
        --hi;
        if (hi - first > kPrefetchAhead) order_.prefetch(hi[-kPrefetchAhead]);
      }
      if (lo >= hi) return lo;
      std::swap(*lo, *hi);
      ++lo;
    }
  }

  void heap_sort(Item* first, Item* last) const noexcept {
    auto cmp = [this](const Item& a, const Item& b) { return less(a, b); };
    std::make_heap(first, last, cmp);
    std::sort_heap(first, last, cmp);
  }

 private:
  // Puts the median of *a, *b, *c at *first; the other two stay among a, b,
  // c, so the smaller stops partition's downward scan and the larger its
  // upward scan without bounds checks.
  void move_median_to_first(Item* first, Item* a, Item* b, Item* c) const noexcept {
    if (less(*a, *b)) {
      if (less(*b, *c)) {
        std::swap(*first, *b);
      } else if (less(*a, *c)) {
        std::swap(*first, *c);
      } else {
        std::swap(*first, *a);
      }
    } else if (less(*a, *c)) {
      std::swap(*first, *a);
    } else if (less(*b, *c)) {
      std::swap(*first, *c);
    } else {
      std::swap(*first, *b);
    }
  }

  void insertion_sort(Item* first, Item* last) const noexcept {
    for (Item* i = first + (first != last); i < last; ++i) {
      const Item moving = *i;
      Item* hole = i;
      for (; hole != first && less(moving, hole[-1]); --hole) *hole = hole[-1];
      *hole = moving;
    }
  }

  const Order& order_;
};

int depth_for(std::size_t n) { return 2 * std::bit_width(n); }

// Ranges of a piece's buffer this short are left to the introsort: a radix
// pass costs a count per bucket whatever the range holds.
constexpr std::ptrdiff_t kRadixRange = 64;

// Sorts a piece's buffer by its prefixes' bytes from the one at `shift`
// down, a byte at a time, most significant first: each pass counts the
// items of each byte value and moves every item at once into its bucket,
// following cycles in place (no second buffer), so no comparison branches
// on data. A byte that all items share costs a count and no moves. Short
// ranges, and items whose prefixes are all equal, go to the introsort,
// which looks at the keys beyond their prefixes.
void radix_sort(const KeyedOrder& order, Keyed* first, Keyed* last, int shift) noexcept {
  const RangeSort sorter(order);
  for (;;) {
    const std::ptrdiff_t n = last - first;
    if (n <= kRadixRange || shift < 0) {
      sorter.sort_range(first, last, depth_for(static_cast<std::size_t>(n)));
      return;
    }
    auto digit = [shift](const Keyed& k) { return static_cast<std::uint8_t>(k.prefix >> shift); };
    std::uint32_t ends[256] = {};
    for (const Keyed* k = first; k < last; ++k) ++ends[digit(*k)];
    if (ends[digit(*first)] == static_cast<std::uint32_t>(n)) {
      shift -= 8;
      continue;
    }
    std::uint32_t next[256];
    std::uint32_t sum = 0;
    for (int b = 0; b < 256; ++b) {
      next[b] = sum;
      sum += ends[b];
      ends[b] = sum;
    }
    // Takes each bucket's next misplaced item to where its byte says,
    // taking the item found there along, until one that belongs here.
    for (int b = 0; b < 256; ++b) {
      while (next[b] < ends[b]) {
        Keyed moving = first[next[b]];
        for (std::uint8_t d = digit(moving); d != b; d = digit(moving)) {
          std::swap(moving, first[next[d]++]);
        }
        first[next[b]++] = moving;
      }
    }
    for (int b = 0, start = 0; b < 256; start = static_cast<int>(ends[b]), ++b) {
      if (ends[b] - static_cast<std::uint32_t>(start) > 1) {
        radix_sort(order, first + start, first + ends[b], shift - 8);
      }
    }
    return;
  }
}

// Puts piece[i] = the entry that keyed[i] stands for, for every i, by
// following the permutation's cycles; each index is marked done by
// pointing at itself.
void permute(Entry* piece, std::span<Keyed> keyed) noexcept {
  for (std::uint32_t i = 0; i < keyed.size(); ++i) {
    if (keyed[i].index == i) continue;
    const Entry first = piece[i];
    std::uint32_t hole = i;
    for (;;) {
      const std::uint32_t from = keyed[hole].index;
      keyed[hole].index = hole;
      if (from == i) break;
      piece[hole] = piece[from];
      hole = from;
    }
    piece[hole] = first;
  }
}

// Sorts at most kPieceEntries entries through a buffer of their prefixes;
// with no memory for the buffer, in place, slower but the same order.
void sort_piece(const EntryOrder& order, Entry* first, Entry* last) noexcept {
  const std::size_t n = static_cast<std::size_t>(last - first);
  assert(n <= kPieceEntries);
  if (n <= static_cast<std::size_t>(kShortRange)) {
    RangeSort(order).sort_range(first, last, 0);
    return;
  }
  std::unique_ptr<Keyed[]> buffer(new (std::nothrow) Keyed[n]);
  if (!buffer) {
    RangeSort(order).sort_range(first, last, depth_for(n));
    return;
  }
  // In a piece still in order of addition this reads the arena straight
  // through, which the prefetcher follows.
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchAhead < n) order.prefetch(first[i + kPrefetchAhead]);
    buffer[i] = Keyed{order.prefix(first[i]), static_cast<std::uint32_t>(i),
                      order.next_word(first[i])};
  }
  const KeyedOrder keyed_order(order, first);
  radix_sort(keyed_order, buffer.get(), buffer.get() + n, 56);
  permute(first, std::span(buffer.get(), n));
}

// Sorts [first, last) on this thread: partitions in place down to pieces,
// then sorts each piece through its buffer.
void sort_entries(const EntryOrder& order, Entry* first, Entry* last, int depth) noexcept {
  const RangeSort sorter(order);
  while (last - first > static_cast<std::ptrdiff_t>(kPieceEntries)) {
    if (depth == 0) {
      sorter.heap_sort(first, last);
      return;
    }
    --depth;
    Entry* cut = sorter.partition(first, last);
    if (cut - first < last - cut) {
      sort_entries(order, first, cut, depth);
      first = cut;
    } else {
      sort_entries(order, cut, last, depth);
      last = cut;
    }
  }
  sort_piece(order, first, last);
}

// One sort on the pool: the order and the group every task belongs to.
struct ParallelSort {
  const EntryOrder& order;
  TaskGroup& group;
};

void spawn_sort(ParallelSort* job, Entry* first, Entry* last, int depth) noexcept;

// Splits a range until its parts are small enough for one task, handing the
// smaller part of each split to the pool and going on with the larger.
void sort_task(ParallelSort* job, Entry* first, Entry* last, int depth) noexcept {
  const RangeSort sorter(job->order);
  while (last - first > static_cast<std::ptrdiff_t>(kSortTaskEntries) && depth > 0) {
    --depth;
    Entry* cut = sorter.partition(first, last);
    if (cut - first < last - cut) {
      spawn_sort(job, first, cut, depth);
      first = cut;
    } else {
      spawn_sort(job, cut, last, depth);
      last = cut;
    }
  }
  sort_entries(job->order, first, last, depth);
}

void spawn_sort(ParallelSort* job, Entry* first, Entry* last, int depth) noexcept {
  try {
    job->group.spawn([job, first, last, depth] { sort_task(job, first, last, depth); });
  } catch (const std::bad_alloc&) {
    // No memory to wrap the task: sort the part here, slower but complete.
    sort_entries(job->order, first, last, depth);
  }
}

}  // namespace

void sort(Chunk& chunk, WorkerPool* pool) {
  const EntryOrder order(chunk);
  Entry* first = chunk.entries.data();
  Entry* last = first + chunk.entries.size();
  const int depth = depth_for(chunk.entries.size());
  // Handing a range this small to the pool costs more than sorting it here.
  if (pool == nullptr || chunk.entries.size() <= kSortTaskEntries) {
    sort_entries(order, first, last, depth);
    return;
  }
  TaskGroup group(*pool);
  ParallelSort job{order, group};
  spawn_sort(&job, first, last, depth);
  // A wait fails only when a task throws, and these allocate nothing.
  [[maybe_unused]] const Result<> done = group.wait();
  assert(done);
}

void sort_complete_pieces(Chunk& chunk) noexcept {
  const EntryOrder order(chunk);
  Entry* const begin = chunk.entries.data();
  const std::size_t complete = chunk.entries.size() / kPieceEntries;
  for (; chunk.sorted_pieces < complete; ++chunk.sorted_pieces) {
    Entry* const first = begin + chunk.sorted_pieces * kPieceEntries;
    sort_piece(order, first, first + kPieceEntries);
  }
}

void sort_pieces(Chunk& chunk, WorkerPool* pool) {
  const EntryOrder order(chunk);
  Entry* const begin = chunk.entries.data();
  const std::size_t n = chunk.entries.size();
  const std::size_t start = std::min(n, chunk.sorted_pieces * kPieceEntries);
  auto piece_end = [&](std::size_t at) { return begin + std::min(n, at + kPieceEntries); };
  if (pool == nullptr || n - start <= kPieceEntries) {
    for (std::size_t at = start; at < n; at += kPieceEntries) {
      sort_piece(order, begin + at, piece_end(at));
    }
    return;
  }
  TaskGroup group(*pool);
  for (std::size_t at = start; at < n; at += kPieceEntries) {
    group.spawn([&order, first = begin + at, last = piece_end(at)] {
      sort_piece(order, first, last);
    });
  }
  // A wait fails only when a task throws, and these allocate nothing.
  [[maybe_unused]] const Result<> done = group.wait();
  assert(done);
}

bool for_each_sorted(const Chunk& chunk, const std::function<bool(const Entry&)>& visit) {
  const EntryOrder order(chunk);
  // The next entry of each piece, with its key's first 12 bytes and length
  // at hand: the comparisons of the merge mostly end there, even between
  // equal keys, which are frequent when few keys repeat many times.
  struct Head {
    std::uint64_t prefix;
    std::uint32_t next;
    std::uint32_t key_len;
    const Entry* at;
    const Entry* end;
  };
  const auto load = [&order](Head& head) {
    head.prefix = order.prefix(*head.at);
    head.next = order.next_word(*head.at);
    head.key_len = head.at->key_len;
  };
  // As KeyedOrder: keys of at most 12 bytes that agree on them are ordered
  // by length, and equal keys by piece, since an earlier piece holds items
  // added earlier.
  const auto before = [&order](const Head& a, const Head& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (a.next != b.next) return a.next < b.next;
    if (a.key_len > kKeyedBytes || b.key_len > kKeyedBytes) {
      return order.less_after_prefix(*a.at, *b.at);
    }
    if (a.key_len != b.key_len) return a.key_len < b.key_len;
    return a.at < b.at;
  };
  const Entry* const begin = chunk.entries.data();
  const std::size_t n = chunk.entries.size();
  // Entries fetched two cache lines ahead, and records this many turns of
  // their piece ahead.
  constexpr std::ptrdiff_t kEntriesAhead = 128 / sizeof(Entry);
  constexpr std::ptrdiff_t kRecordsAhead = 4;
  std::vector<Head> heads;
  heads.reserve(n / kPieceEntries + 1);
  for (std::size_t at = 0; at < n; at += kPieceEntries) {
    heads.push_back(Head{0, 0, 0, begin + at, begin + std::min(n, at + kPieceEntries)});
    load(heads.back());
  }
  // A piece used up comes after every other.
  const auto less = [&](std::uint32_t a, std::uint32_t b) {
    const Head& ha = heads[a];
    const Head& hb = heads[b];
    if (ha.at == ha.end) return false;
    if (hb.at == hb.end) return true;
    return before(ha, hb);
  };
  if (heads.empty()) return true;
  LoserTree tree;
  tree.build(heads.size(), less);
  for (;;) {
    Head& head = heads[tree.winner()];
    if (head.at == head.end) break;  // every piece is used up
    const Entry& next = *head.at;
    if (++head.at != head.end) {
      // A piece's records are fetched a few of its turns ahead: with random
      // keys its turns are far apart, but where keys repeat, equal keys
      // come from one piece after another, several in a row. Pieces are
      // too many streams for the hardware to follow, so their entries are
      // fetched ahead too.
      if (head.end - head.at > kEntriesAhead) __builtin_prefetch(head.at + kEntriesAhead);
      if (head.end - head.at > kRecordsAhead) order.prefetch_record(head.at[kRecordsAhead]);
      load(head);
    }
    tree.replay(less);
    if (!visit(next)) return false;
  }
  return true;
}

}  // namespace quillmere
