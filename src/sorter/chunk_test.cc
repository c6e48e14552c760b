#include "sorter/chunk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/pool.h"

namespace quillmere {

void PrintTo(const Room& r, std::ostream* os) {
  const char* kinds[] = {"Fits", "Grow", "Full"};
  *os << kinds[static_cast<int>(r.kind)];
  if (r.kind == Room::Kind::Grow) {
    *os << "(" << r.data_capacity << ", " << r.entries_capacity << ")";
  }
}

namespace {

using Bytes = std::vector<std::uint8_t>;

std::span<const std::byte> view(const Bytes& b) { return std::as_bytes(std::span(b)); }

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Item i of a room test: `size` bytes, all of them telling i apart from its
// neighbours, split into a key of up to 8 bytes and the payload.
void add_numbered(Chunk& c, std::size_t i, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t j = 0; j < size; ++j) bytes[j] = static_cast<std::uint8_t>(i * 7 + j);
  const std::size_t k = std::min<std::size_t>(size, 8);
  const std::span<const std::byte> all = view(bytes);
  append(c, all.first(k), all.subspan(k));
}

// Whether every byte put in by add_numbered is still where its entry says.
bool intact(const Chunk& c, std::size_t size) {
  for (std::size_t i = 0; i < c.entries.size(); ++i) {
    const Entry& e = c.entries[i];
    if (e.offset != i * size || e.key_len + e.payload_len != size) return false;
    for (std::size_t j = 0; j < size; ++j) {
      if (c.data[e.offset + j] != std::byte(static_cast<std::uint8_t>(i * 7 + j))) return false;
    }
  }
  return true;
}

using Capacities = std::tuple<std::size_t, std::size_t, std::size_t>;  // data, entries, at item

// Fills an empty chunk with items of one size until it is full, noting each
// change of capacity and checking the footprint and the contents on the way.
std::vector<Capacities> fill(Chunk& c, std::uint64_t limit, std::size_t size) {
  std::vector<Capacities> seen;
  for (std::size_t i = 0; make_room(c, size, limit); ++i) {
    if (seen.empty() || std::get<0>(seen.back()) != c.data.capacity() ||
        std::get<1>(seen.back()) != c.entries.capacity()) {
      seen.emplace_back(c.data.capacity(), c.entries.capacity(), i);
      EXPECT_TRUE(intact(c, size)) << "after growing at item " << i;
    }
    add_numbered(c, i, size);
    EXPECT_LE(c.footprint(), limit);
  }
  // Full only once the exact need with one more item passes 7/8 of the limit.
  EXPECT_GT(c.data.size() + size + 16 * (c.entries.size() + 1), limit - limit / 8);
  EXPECT_TRUE(intact(c, size));
  return seen;
}

TEST(RoomTest, EdgesOfTheRules) {
  struct Case {
    std::uint64_t limit;
    std::vector<std::size_t> before;  // sizes of the items already added
    std::uint64_t need;
    Room want;
  } cases[] = {
      {1 << 30, {}, 10, Room::grow(65536, 1024)},
      {1 << 30, {}, 102400, Room::grow(102400, 1024)},  // its own size, not 2 * 65536
      {1000, {}, 5000, Room::grow(5000, 1)},             // taken, though above the limit
      {1000, {5000}, 1, Room::full()},                   // nothing more after it
      {1, {}, 0, Room::grow(0, 1)},
      {1, {3}, 0, Room::full()},  // limits below 8: the threshold is the limit itself
      {7, {3}, 0, Room::full()},
      {81920, {10}, 10, Room::fits()},  // first sizes that make up the limit exactly
      // 1001 - 1001 / 8 = 876 = 400 + 444 + 32; 7 * 1001 / 8 would be 875.
      {1001, {400}, 444, Room::grow(964, 2)},
      {1001, {400}, 445, Room::full()},
  };
  for (const Case& t : cases) {
    Chunk c;
    for (std::size_t i = 0; i < t.before.size(); ++i) {
      ASSERT_TRUE(make_room(c, t.before[i], t.limit));
      add_numbered(c, i, t.before[i]);
    }
    const std::string what = "limit " + std::to_string(t.limit) + ", need " +
                             std::to_string(t.need);
    EXPECT_EQ(room(c, t.need, t.limit), t.want) << what;
    const std::uint64_t data = c.data.capacity(), entries = c.entries.capacity();
    EXPECT_EQ(make_room(c, t.need, t.limit), t.want.kind != Room::Kind::Full) << what;
    const bool grow = t.want.kind == Room::Kind::Grow;
    EXPECT_EQ(c.data.capacity(), grow ? t.want.data_capacity : data) << what;
    EXPECT_EQ(c.entries.capacity(), grow ? t.want.entries_capacity : entries) << what;
  }
  // Above the limit, an emptied chunk may use what it holds; nothing more.
  Chunk c;
  ASSERT_TRUE(make_room(c, 5000, 1000));
  add_numbered(c, 0, 5000);
  c.data.clear();
  c.entries.clear();
  EXPECT_EQ(room(c, 100, 1000), Room::fits());
  EXPECT_EQ(room(c, 6000, 1000), Room::grow(6000, 1));
  // An arena without entry slots has no room, however large it is.
  c.entries.shrink_to_fit();
  ASSERT_EQ(c.entries.capacity(), 0u);
  EXPECT_EQ(room(c, 10, 1000), Room::grow(5000, 1));
}

TEST(RoomTest, DoublesThenSharesTheLimitThenIsFull) {
  // 100-byte items in 1 MiB: doubling until 2 * 524288 + 16 * 8192 passes
  // the limit, then 524300 : 16 * 5243, leaving M - (M - D) % 16 in use.
  Chunk c;
  EXPECT_EQ(fill(c, 1 << 20, 100),
            (std::vector<Capacities>{{65536, 1024, 0}, {131072, 1024, 655}, {131072, 2048, 1024},
                                     {262144, 2048, 1310}, {262144, 4096, 2048},
                                     {524288, 4096, 2621}, {524288, 8192, 4096},
                                     {903944, 9039, 5242}}));
  EXPECT_EQ(c.footprint(), 1048568u);
  // A doubling that reaches the limit exactly is still a doubling.
  Chunk exact;
  EXPECT_EQ(fill(exact, 131072 + 16 * 1024, 100),
            (std::vector<Capacities>{{65536, 1024, 0}, {131072, 1024, 655}, {127117, 1271, 1024}}));
  // Many small items give arena up to entries (20490 : 16 * 2049), a few
  // large ones entry slots up to arena (80000 : 16 * 4).
  Chunk small, large;
  EXPECT_EQ(fill(small, 100000, 10),
            (std::vector<Capacities>{{65536, 1024, 0}, {65536, 2048, 1024}, {38461, 3846, 2048}}));
  EXPECT_EQ(fill(large, 100000, 20000),
            (std::vector<Capacities>{{65536, 1024, 0}, {99920, 5, 3}}));
}

// Random sizes against random limits, halves spilled and reused as the
// sorter does; checks what room promises after every step.
TEST(RoomTest, RandomAddsKeepTheirPromises) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 60; ++trial) {
    const std::uint64_t limit = rng() % (std::uint64_t{1} << (rng() % 21)) + 1;
    // Mostly items small beside the limit; in some trials now and then one
    // larger than the whole limit.
    const bool oversized = trial % 2 == 0;
    Chunk c;
    for (int i = 0; i < 2000; ++i) {
      const std::uint64_t largest = oversized && rng() % 16 == 0 ? 2 * limit : limit / 64 + 1;
      const std::uint64_t n = rng() % (largest + 1);
      const std::uint64_t b = c.data.capacity(), e = c.entries.capacity(), items = c.entries.size();
      const std::uint64_t w = c.data.size() + n;
      const Room r = room(c, n, limit);
      const bool took = make_room(c, n, limit);
      EXPECT_EQ(took, r.kind != Room::Kind::Full);
      const bool grew = r.kind == Room::Kind::Grow;
      EXPECT_EQ(c.data.capacity(), grew ? r.data_capacity : b);
      EXPECT_EQ(c.entries.capacity(), grew ? r.entries_capacity : e);
      if (!took) {
        // Full only if the item does not fit and its exact need passes 7/8.
        EXPECT_TRUE(items >= 1 && w + 16 * (items + 1) > limit - limit / 8);
        EXPECT_FALSE(b + 16 * e <= limit && w <= b && items < e);
        // Spill: a half above the limit is released, any other kept.
        if (c.footprint() > limit) c = Chunk{};
        c.data.clear();
        c.entries.clear();
        ASSERT_TRUE(make_room(c, n, limit));
      }
      ASSERT_LE(c.data.size() + n, c.data.capacity());
      ASSERT_LT(c.entries.size(), c.entries.capacity());
      add_numbered(c, c.entries.size(), n);
      // Above the limit only while an oversized item is alone in its half.
      if (c.footprint() > limit) {
        ASSERT_EQ(c.entries.size(), 1u) << "limit " << limit;
      }
    }
  }
}

class SortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t threads : {2, 3}) {
      Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::start(threads);
      ASSERT_TRUE(pool);
      pools_.push_back(*pool);
    }
  }

  static Chunk build(const std::vector<Bytes>& keys, const std::vector<Bytes>& payloads) {
    Chunk c;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      EXPECT_TRUE(make_room(c, keys[i].size() + payloads[i].size(), std::uint64_t{1} << 40));
      append(c, view(keys[i]), view(payloads[i]));
    }
    return c;
  }

  // The order a plainly correct sort gives: stable by key.
  static std::vector<Entry> by_stable_sort(const Chunk& c, const std::vector<Bytes>& keys) {
    std::vector<std::size_t> order(keys.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    std::vector<Entry> want;
    for (std::size_t i : order) want.push_back(c.entries[i]);
    return want;
  }

  // Sorts a copy of `c` without a pool and on each pool; each must give `want`.
  void expect_every_way(const Chunk& c, const std::vector<Entry>& want, const std::string& what) {
    for (std::size_t way = 0; way <= pools_.size(); ++way) {
      Chunk copy = c;
      sort(copy, way == 0 ? nullptr : pools_[way - 1].get());
      auto [got, wanted] = std::mismatch(copy.entries.begin(), copy.entries.end(), want.begin());
      EXPECT_TRUE(copy.entries.size() == want.size() && got == copy.entries.end())
          << what << ", way " << way << ": first difference at " << got - copy.entries.begin();
    }
  }

  std::vector<std::shared_ptr<WorkerPool>> pools_;
};

TEST_F(SortTest, HandPickedKeys) {
  auto check = [&](const std::vector<std::string>& keys, const std::vector<std::string>& payloads) {
    std::vector<Bytes> k, p;
    for (const std::string& s : keys) k.push_back(text(s));
    for (const std::string& s : payloads) p.push_back(text(s));
    const Chunk c = build(k, p);
    expect_every_way(c, by_stable_sort(c, k), "keys starting " + keys[0]);
  };
  // Equal keys in order of addition (p, q, r), whatever their payloads.
  check({"k", "l", "k", "j", "k"}, {"zz", "", "a", "b", ""});
  // Unsigned bytes, a proper prefix first, around the 8 bytes compared at
  // once; the last key is short with nothing after it in the arena.
  const std::string z(1, '\0'), ff8(8, '\xff');
  check({"abcdefgi", "\xff", "abcdefg" + z, ff8, "ab", "abcdefgh" + z, "abcdefghij", z, "abcdefgh",
         "\x7f", "", "abcdefg", ff8 + "\xff", "a" + z, "abcdefgh" + z + "\1", z + z, "abcdefghi",
         "\x80", "a"},
        {"pay", "pay", "pay", "pay", "pay", "pay", "pay", "pay", "pay", "pay", "pay", "pay", "pay",
         "pay", "pay", "pay", "pay", "pay", ""});
  // An empty item shares its offset with the next item, whatever that is.
  check({"", "a", "", "", "", "", ""}, {"", "", "", "x", "", "", ""});
  // A hundred thousand identical entries still split evenly.
  std::vector<Bytes> many(150000), none(150000);
  many[70000] = text("z");
  const Chunk d = build(many, none);
  expect_every_way(d, by_stable_sort(d, many), "many empty items");
}

// Random keys of several shapes, at sizes around the short-range and
// per-task cutoffs, against std::stable_sort.
TEST_F(SortTest, MatchesStableSortByKey) {
  std::mt19937_64 rng(11);
  const Bytes alphabet = {0x00, 0x01, 0x7f, 0x80, 0xff, 'a'};
  const Bytes common = text("a long prefix shared by many keys \xff\x00\x80!");
  auto key_of = [&](int shape, std::size_t i, std::size_t n) {
    Bytes k;
    switch (shape) {
      case 0:  // short keys over few letters: many repeats and prefixes
        for (std::size_t len = rng() % 12; len > 0; --len) k.push_back(alphabet[rng() % 6]);
        break;
      case 1:  // a long shared prefix, then up to 3 bytes
        k = common;
        for (std::size_t len = rng() % 4; len > 0; --len) k.push_back(alphabet[rng() % 3]);
        break;
      case 2:  // ascending, then descending big-endian numbers
      case 3:
        for (int b = 7; b >= 0; --b) {
          k.push_back(static_cast<std::uint8_t>((shape == 2 ? i : n - i) >> (8 * b)));
        }
        break;
      default:  // one key for all
        k = text("same");
    }
    return k;
  };
  const std::size_t t = kSortTaskEntries;
  for (std::size_t n : {0ul, 1ul, 2ul, 16ul, 17ul, 100ul, 5000ul, t - 1, t, t + 1, 3 * t + 7,
                        200000ul}) {
    for (int shape = 0; shape < 5; ++shape) {
      std::vector<Bytes> keys, payloads;
      for (std::size_t i = 0; i < n; ++i) {
        keys.push_back(key_of(shape, i, n));
        payloads.push_back(Bytes(rng() % 5, 0x5a));
      }
      const Chunk c = build(keys, payloads);
      expect_every_way(c, by_stable_sort(c, keys),
                       "n " + std::to_string(n) + ", shape " + std::to_string(shape));
    }
  }
}

}  // namespace
}  // namespace quillmere
