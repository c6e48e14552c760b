#include "merge/plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/test_util.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::span<const std::byte> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}

std::string text_of(std::span<const std::byte> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

class StopAfter final : public StopCheck {
 public:
  explicit StopAfter(int n) : left_(n) {}
  bool should_stop() override { return left_-- <= 0; }

 private:
  int left_;
};

class PlanTest : public ::testing::Test {
 protected:
  // A sorter whose every half holds one record, so that each push but the
  // last makes a run of its own.
  std::unique_ptr<Sorter> one_record_runs(std::uint64_t max_open, std::uint64_t threads = 1) {
    Result<std::unique_ptr<Sorter>> s =
        Sorter::create(Config{tmp_.path(), 2, max_open, threads});
    EXPECT_TRUE(s);
    return std::move(*s);
  }

  void push(Sorter& s, const std::string& key, const std::string& payload) {
    NeverStop go_on;
    ASSERT_TRUE(s.push(bytes_of(key), bytes_of(payload), go_on));
  }

  // Everything the merge yields, as "key:payload".
  std::vector<std::string> drain(Merged& merged) {
    std::vector<std::string> out;
    for (;;) {
      Result<std::optional<Merged::Record>> r = merged.next_record();
      EXPECT_TRUE(r) << r.error().text();
      if (!r || !*r) return out;
      out.push_back(text_of((*r)->key) + ":" + text_of((*r)->payload));
    }
  }

  std::vector<std::uint64_t> run_counts(const Sorter& s) {
    std::vector<std::uint64_t> counts;
    for (const quillmere::Run& run : s.runs()) counts.push_back(run.count);
    return counts;
  }

  TempDir tmp_;
};

TEST(LightestWindowTest, FirstOfTheLightest) {
  auto runs = [](std::vector<std::uint64_t> sizes) {
    std::vector<quillmere::Run> out;
    for (std::uint64_t b : sizes) out.push_back(quillmere::Run{"r", 1, b});
    return out;
  };
  EXPECT_EQ(lightest_window(runs({5, 5, 5, 5}), 2), 0u);
  EXPECT_EQ(lightest_window(runs({9, 1, 1, 9}), 2), 1u);
  EXPECT_EQ(lightest_window(runs({3, 9, 1, 2}), 2), 2u);
  EXPECT_EQ(lightest_window(runs({2, 1, 1, 2}), 3), 0u);
  EXPECT_EQ(lightest_window(runs({7}), 1), 0u);
  EXPECT_EQ(lightest_window(runs({4, 3, 2, 1}), 4), 0u);
}

// Five runs of equal weight with max_open 2 go [1 1 1 1 1] -> [2 1 1 1]
// -> [2 2 1] -> [2 3]: the lightest window, the first of equals, each time.
TEST_F(PlanTest, PassesFollowTheLightestWindows) {
  std::unique_ptr<Sorter> s = one_record_runs(2);
  for (char c : std::string("edcbaf")) push(*s, std::string(1, c), "p");
  ASSERT_TRUE(s->wait());
  ASSERT_EQ(run_counts(*s), (std::vector<std::uint64_t>{1, 1, 1, 1, 1}));
  NeverStop go_on;
  std::vector<std::vector<std::uint64_t>> seen;
  while (s->runs().size() > 2) {
    ASSERT_TRUE(merge_pass(*s, go_on));
    seen.push_back(run_counts(*s));
  }
  EXPECT_EQ(seen, (std::vector<std::vector<std::uint64_t>>{{2, 1, 1, 1}, {2, 2, 1}, {2, 3}}));
  // The inputs were deleted: only the listed runs are left on disk.
  const fs::path dir = s->runs()[0].path.parent_path();
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path().filename());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{s->runs()[0].path.filename(),
                                             s->runs()[1].path.filename()}));
}

TEST_F(PlanTest, EachPassMergesJustEnough) {
  // max_open 4: 5 runs -> one pass of 2; 7 -> one pass of 4; 8 -> 4 then 2.
  for (auto [runs, expected] : std::vector<std::pair<int, std::vector<std::size_t>>>{
           {4, {}}, {5, {4}}, {7, {4}}, {8, {5, 4}}}) {
    std::unique_ptr<Sorter> s = one_record_runs(4);
    for (int i = 0; i <= runs; ++i) push(*s, std::to_string(i), "");
    ASSERT_TRUE(s->wait());
    ASSERT_EQ(s->runs().size(), static_cast<std::size_t>(runs));
    NeverStop go_on;
    std::vector<std::size_t> sizes;
    while (s->runs().size() > 4) {
      ASSERT_TRUE(merge_pass(*s, go_on));
      sizes.push_back(s->runs().size());
    }
    EXPECT_EQ(sizes, expected) << runs << " runs";
  }
}

// Against a stable sort of everything added: equal keys in order of
// addition across runs, passes and the held half.
TEST_F(PlanTest, FinishedSortIsStableThroughEveryPass) {
  std::mt19937 rng(5);
  for (std::uint64_t max_open : {2, 3, 64}) {
    for (std::uint64_t threads : {1, 3}) {
      Result<std::unique_ptr<Sorter>> s =
          Sorter::create(Config{tmp_.path(), 2000, max_open, threads});
      ASSERT_TRUE(s);
      std::vector<std::pair<std::string, std::string>> added;
      for (int i = 0; i < 1500; ++i) {
        added.emplace_back(std::string(1 + rng() % 3, static_cast<char>('a' + rng() % 3)),
                           std::to_string(i));
        push(**s, added.back().first, added.back().second);
      }
      std::stable_sort(added.begin(), added.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      std::vector<std::string> expected;
      for (const auto& [k, p] : added) expected.push_back(k + ":" + p);

      NeverStop go_on;
      Result<Merged> merged = finish_sort(**s, go_on);
      ASSERT_TRUE(merged) << merged.error().text();
      EXPECT_LE((*s)->runs().size(), max_open);
      EXPECT_TRUE(merged->holds_directory());
      s->reset();  // what is left of the sorter goes; the merge keeps the directory
      EXPECT_EQ(tmp_.list().size(), 1u);
      EXPECT_EQ(drain(*merged), expected) << "max_open " << max_open << ", threads " << threads;
      EXPECT_FALSE(merged->holds_directory());
      EXPECT_TRUE(tmp_.list().empty());
    }
  }
}

TEST_F(PlanTest, NothingSpilledMeansNoDirectory) {
  std::unique_ptr<Sorter> s = one_record_runs(2);
  NeverStop go_on;
  Result<Merged> empty = finish_sort(*s, go_on);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(drain(*empty).empty());

  Result<std::unique_ptr<Sorter>> roomy = Sorter::create(Config{tmp_.path(), 1 << 20, 2, 1});
  ASSERT_TRUE(roomy);
  push(**roomy, "b", "2");
  push(**roomy, "a", "1");
  Result<Merged> held = finish_sort(**roomy, go_on);
  ASSERT_TRUE(held);
  EXPECT_FALSE(held->holds_directory());
  EXPECT_EQ(drain(*held), (std::vector<std::string>{"a:1", "b:2"}));
  EXPECT_TRUE(tmp_.list().empty());
}

TEST_F(PlanTest, AStopEndsTheFinishAndALostSorterCannotFinish) {
  std::unique_ptr<Sorter> s = one_record_runs(2);
  for (int i = 0; i < 6; ++i) push(*s, std::to_string(i), "");
  StopAfter stop(1);  // the wait for the spill passes; the next look stops
  ASSERT_TRUE(s->wait());
  Result<Merged> merged = finish_sort(*s, stop);
  ASSERT_FALSE(merged);
  EXPECT_EQ(merged.error().kind(), IoKind::Interrupted);
  s.reset();
  EXPECT_TRUE(tmp_.list().empty());

  fs::path spill = tmp_.path() / "gone";
  fs::create_directory(spill);
  Result<std::unique_ptr<Sorter>> lost = Sorter::create(Config{spill, 2, 2, 1});
  ASSERT_TRUE(lost);
  fs::remove(spill);
  NeverStop go_on;
  push(**lost, "a", "");
  ASSERT_FALSE((*lost)->push(bytes_of("b"), {}, go_on));  // the spill cannot begin
  Result<Merged> after = finish_sort(**lost, go_on);
  ASSERT_FALSE(after);
  EXPECT_EQ(after.error().variant(), Error::Variant::Lost);
}

}  // namespace
}  // namespace quillmere
