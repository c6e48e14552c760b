// How a half's two buffers grow toward its limit, and the in-place sort of
// its entries, on the calling thread or on the worker pool.

#include "sorter/chunk.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/heap.h"
#include "base/pool.h"
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
// How many entries ahead a partition scan prefetches keys. Keys sit at
// scattered places in an arena far larger than the caches, so waiting for
// them, not comparing them, is what a sort of a half mostly does.
constexpr std::ptrdiff_t kPrefetchAhead = 8;

// The order of entries over one arena, and the sequential introsort that
// uses it. Every key is first compared by its first 8 bytes read as one
// big-endian number, which decides almost every comparison with one load.
class EntryOrder {
 public:
  explicit EntryOrder(const Chunk& chunk) noexcept
      : data_(chunk.data.data()), size_(chunk.data.size()) {}

  bool less(const Entry& a, const Entry& b) const noexcept {
    const std::uint64_t pa = prefix(a);
    const std::uint64_t pb = prefix(b);
    if (pa != pb) return pa < pb;
    return less_after_prefix(a, b);
  }

  std::uint64_t prefix(const Entry& e) const noexcept;
  bool less_after_prefix(const Entry& a, const Entry& b) const noexcept;
  void prefetch(const Entry& e) const noexcept { __builtin_prefetch(data_ + e.offset); }

  // Sorts [first, last) on this thread. `depth` partitions later it gives
  // up on quicksort for heapsort, so a bad run of pivots costs n log n.
  void sort_range(Entry* first, Entry* last, int depth) const noexcept;

  // Splits [first, last), longer than kShortRange, around a median-of-three
  // pivot: returns cut with [first, cut) <= pivot <= [cut, last), both sides
  // non-empty.
  Entry* partition(Entry* first, Entry* last) const noexcept;

 private:
  struct Pivot {
    Entry entry;
    std::uint64_t prefix;
  };

  key::Bytes key_of(const Entry& e) const noexcept { return {data_ + e.offset, e.key_len}; }
  bool below(const Entry& e, const Pivot& p) const noexcept {
    const std::uint64_t pe = prefix(e);
    return pe != p.prefix ? pe < p.prefix : less_after_prefix(e, p.entry);
  }
  bool above(const Entry& e, const Pivot& p) const noexcept {
    const std::uint64_t pe = prefix(e);
    return pe != p.prefix ? pe > p.prefix : less_after_prefix(p.entry, e);
  }
  void move_median_to_first(Entry* first, Entry* a, Entry* b, Entry* c) const noexcept;
  void insertion_sort(Entry* first, Entry* last) const noexcept;
  void heap_sort(Entry* first, Entry* last) const noexcept;

  const std::byte* data_;
  std::uint64_t size_;  // data's length: no read may pass it
};

// The bytes after a short key belong to its payload or to the next item, and
// may be read as part of its prefix, but not past the arena's end.
std::uint64_t EntryOrder::prefix(const Entry& e) const noexcept {
  if (e.offset + 8 > size_) return key::prefix(key_of(e));
  return key::prefix_in_place(data_ + e.offset, e.key_len);
}

// REQUIRES: prefix(a) == prefix(b). Equal keys keep their order of
// addition.
bool EntryOrder::less_after_prefix(const Entry& a, const Entry& b) const noexcept {
  if (int c = key::compare_after_prefix(key_of(a), key_of(b)); c != 0) return c < 0;
  if (a.offset != b.offset) return a.offset < b.offset;
  return a.payload_len < b.payload_len;
}

// Puts the median of *a, *b, *c at *first; the other two stay among a, b,
// c, so the smaller stops partition's downward scan and the larger its
// upward scan without bounds checks.
void EntryOrder::move_median_to_first(Entry* first, Entry* a, Entry* b, Entry* c) const noexcept {
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

// Hoare's scheme: both scans stop at entries equal to the pivot, so a range
// of identical entries (empty items sharing an offset) still splits in the
// middle.
Entry* EntryOrder::partition(Entry* first, Entry* last) const noexcept {
  assert(last - first > kShortRange);
  move_median_to_first(first, first + 1, first + (last - first) / 2, last - 1);
  const Pivot pivot{*first, prefix(*first)};
  Entry* lo = first + 1;
  Entry* hi = last;
  for (;;) {
    while (below(*lo, pivot)) {
      ++lo;
      if (last - lo > kPrefetchAhead) prefetch(lo[kPrefetchAhead]);
    }
    --hi;
    while (above(*hi, pivot)) {
      --hi;
      if (hi - first > kPrefetchAhead) prefetch(hi[-kPrefetchAhead]);
    }
    if (lo >= hi) return lo;
    std::swap(*lo, *hi);
    ++lo;
  }
}

void EntryOrder::insertion_sort(Entry* first, Entry* last) const noexcept {
  for (Entry* i = first + (first != last); i < last; ++i) {
    const Entry moving = *i;
    Entry* hole = i;
    for (; hole != first && less(moving, hole[-1]); --hole) *hole = hole[-1];
    *hole = moving;
  }
}

void EntryOrder::heap_sort(Entry* first, Entry* last) const noexcept {
  auto cmp = [this](const Entry& a, const Entry& b) { return less(a, b); };
  std::make_heap(first, last, cmp);
  std::sort_heap(first, last, cmp);
}

void EntryOrder::sort_range(Entry* first, Entry* last, int depth) const noexcept {
  while (last - first > kShortRange) {
    if (depth == 0) {
      heap_sort(first, last);
      return;
    }
    --depth;
    Entry* cut = partition(first, last);
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

// One sort on the pool: the order and the group every task belongs to.
struct ParallelSort {
  const EntryOrder& order;
  TaskGroup& group;
};

void spawn_sort(ParallelSort* job, Entry* first, Entry* last, int depth) noexcept;

// Splits a range until its parts are small enough for one task, handing the
// smaller part of each split to the pool and going on with the larger.
void sort_task(ParallelSort* job, Entry* first, Entry* last, int depth) noexcept {
  while (last - first > static_cast<std::ptrdiff_t>(kSortTaskEntries) && depth > 0) {
    --depth;
    Entry* cut = job->order.partition(first, last);
    if (cut - first < last - cut) {
      spawn_sort(job, first, cut, depth);
      first = cut;
    } else {
      spawn_sort(job, cut, last, depth);
      last = cut;
    }
  }
  job->order.sort_range(first, last, depth);
}

void spawn_sort(ParallelSort* job, Entry* first, Entry* last, int depth) noexcept {
  try {
    job->group.spawn([job, first, last, depth] { sort_task(job, first, last, depth); });
  } catch (const std::bad_alloc&) {
    // No memory to wrap the task: sort the part here, slower but complete.
    job->order.sort_range(first, last, depth);
  }
}

}  // namespace

void sort(Chunk& chunk, WorkerPool* pool) {
  const EntryOrder order(chunk);
  Entry* first = chunk.entries.data();
  Entry* last = first + chunk.entries.size();
  const int depth = 2 * std::bit_width(chunk.entries.size());
  // Handing a range this small to the pool costs more than sorting it here.
  if (pool == nullptr || chunk.entries.size() <= kSortTaskEntries) {
    order.sort_range(first, last, depth);
    return;
  }
  TaskGroup group(*pool);
  ParallelSort job{order, group};
  spawn_sort(&job, first, last, depth);
  // A wait fails only when a task throws, and these allocate nothing.
  [[maybe_unused]] const Result<> done = group.wait();
  assert(done);
}

void sort_pieces(Chunk& chunk, WorkerPool* pool) {
  const EntryOrder order(chunk);
  Entry* const begin = chunk.entries.data();
  const std::size_t n = chunk.entries.size();
  constexpr int kDepth = 2 * std::bit_width(kSortTaskEntries);
  auto piece_end = [&](std::size_t at) { return begin + std::min(n, at + kSortTaskEntries); };
  if (pool == nullptr || n <= kSortTaskEntries) {
    for (std::size_t at = 0; at < n; at += kSortTaskEntries) {
      order.sort_range(begin + at, piece_end(at), kDepth);
    }
    return;
  }
  TaskGroup group(*pool);
  for (std::size_t at = 0; at < n; at += kSortTaskEntries) {
    group.spawn([&order, first = begin + at, last = piece_end(at)] {
      order.sort_range(first, last, kDepth);
    });
  }
  // A wait fails only when a task throws, and these allocate nothing.
  [[maybe_unused]] const Result<> done = group.wait();
  assert(done);
}

bool for_each_sorted(const Chunk& chunk, const std::function<bool(const Entry&)>& visit) {
  const EntryOrder order(chunk);
  // The next entry of each piece, with its key's prefix at hand: the
  // comparisons of the merge mostly end there.
  struct Head {
    std::uint64_t prefix;
    const Entry* at;
    const Entry* end;
  };
  const auto before = [&order](const Head& a, const Head& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : order.less_after_prefix(*a.at, *b.at);
  };
  const Entry* const begin = chunk.entries.data();
  const std::size_t n = chunk.entries.size();
  // A min-heap on `before`, each piece's next entry in it until the piece
  // is used up.
  std::vector<Head> heads;
  heads.reserve(n / kSortTaskEntries + 1);
  for (std::size_t at = 0; at < n; at += kSortTaskEntries) {
    const Entry* const end = begin + std::min(n, at + kSortTaskEntries);
    heads.push_back(Head{order.prefix(begin[at]), begin + at, end});
    sift_up(std::span(heads), before);
  }
  while (!heads.empty()) {
    Head& head = heads.front();
    const Entry& next = *head.at;
    if (++head.at == head.end) {
      head = heads.back();
      heads.pop_back();
    } else {
      // The piece's entry after this one is needed some pieces' turns
      // from now; fetch its key meanwhile.
      if (head.at + 1 != head.end) order.prefetch(head.at[1]);
      head.prefix = order.prefix(*head.at);
    }
    sift_down(std::span(heads), before);
    if (!visit(next)) return false;
  }
  return true;
}

}  // namespace quillmere
