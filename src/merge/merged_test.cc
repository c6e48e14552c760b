#include "merge/merged.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/test_util.h"
#include "run/run_writer.h"
#include "sorter/chunk.h"
#include "sorter/private_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// Strings compare as unsigned chars, a proper prefix first: the record
// order, written independently of the merge.
struct Rec {
  std::string key;
  std::string payload;
  bool operator==(const Rec&) const = default;
};

bool key_less(const Rec& a, const Rec& b) { return a.key < b.key; }

std::span<const std::byte> view(const std::string& s) { return std::as_bytes(std::span(s)); }

std::string text(std::span<const std::byte> b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// The value, or an exception (which fails the test) with the error's text.
template <class T>
T must(Result<T> r) {
  if (!r) throw std::runtime_error(r.error().text());
  return std::move(*r);
}

void must(Result<> r) {
  if (!r) throw std::runtime_error(r.error().text());
}

// What a merge must give: each source in its own order, one after another
// in index order, then stably sorted by key.
std::vector<Rec> model(const std::vector<std::vector<Rec>>& sources) {
  std::vector<Rec> all;
  for (const auto& s : sources) all.insert(all.end(), s.begin(), s.end());
  std::stable_sort(all.begin(), all.end(), key_less);
  return all;
}

// Changes of source along records made by tagged(), "SOURCE.PLACE".
std::uint64_t source_changes(const std::vector<Rec>& records) {
  auto source = [](const Rec& r) { return r.payload.substr(0, r.payload.find('.')); };
  std::uint64_t changes = 0;
  for (std::size_t i = 1; i < records.size(); ++i) {
    if (source(records[i]) != source(records[i - 1])) ++changes;
  }
  return changes;
}

std::size_t open_fds() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"),
                                                fs::directory_iterator()));
}

struct Drained {
  std::vector<Rec> records;
  std::optional<Error> error;  // what stopped it, if not the end
};

class MergedTest : public ::testing::Test {
 protected:
  MergedTest() { new_private_dir(); }

  // Makes the private directory that runs go into and the merge takes over.
  void new_private_dir() {
    private_dir_.emplace(must(make_dir(dir_.path())));
    dir_path_ = private_dir_->path();
  }

  // Adds a run of the records, stably sorted by key, as the next source.
  quillmere::Run add_run(std::vector<Rec> records) {
    std::stable_sort(records.begin(), records.end(), key_less);
    quillmere::Run run = write_run(records);
    add_reader(run, std::move(records));
    return run;
  }

  // Adds a run as it is on disk now, which should hold `records`.
  void add_reader(const quillmere::Run& run, std::vector<Rec> records) {
    sources_.push_back(Source::run(must(RunReader::open(run))));
    inputs_.push_back(std::move(records));
  }

  quillmere::Run write_run(const std::vector<Rec>& records) {
    fs::path path = dir_path_ / ("run-" + std::to_string(next_run_++));
    RunWriter writer = must(RunWriter::create(path, nullptr));
    for (const Rec& r : records) must(writer.push(view(r.key), view(r.payload)));
    return must(std::move(writer).finish());
  }

  // Adds a held half of the records in this order of addition, sorted by
  // the chunk's own sort.
  void add_held(std::vector<Rec> records) {
    Chunk chunk;
    for (const Rec& r : records) {
      ASSERT_TRUE(make_room(chunk, r.key.size() + r.payload.size(), std::uint64_t{1} << 32));
      append(chunk, view(r.key), view(r.payload));
    }
    sort(chunk, nullptr);
    sources_.push_back(Source::held(std::move(chunk)));
    std::stable_sort(records.begin(), records.end(), key_less);
    inputs_.push_back(std::move(records));
  }

  // Records for the next source, tagged "SOURCE.PLACE" in their payloads.
  std::vector<Rec> tagged(const std::vector<std::string>& keys) const {
    std::vector<Rec> out;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      out.push_back(Rec{keys[i], std::to_string(sources_.size()) + "." + std::to_string(i)});
    }
    return out;
  }

  Result<Merged> merge() { return Merged::create(std::move(sources_), std::move(private_dir_)); }

  static Drained drain(Merged& merged) {
    Drained out;
    for (;;) {
      Result<std::optional<Merged::Record>> r = merged.next_record();
      if (!r) {
        out.error = std::move(r.error());
        return out;
      }
      if (!*r) return out;
      out.records.push_back(Rec{text((*r)->key), text((*r)->payload)});
    }
  }

  static std::vector<Rec> drain_ok(Merged& merged) {
    Drained out = drain(merged);
    if (out.error) throw std::runtime_error(out.error->text());
    return out.records;
  }

  static void expect_end(Merged& merged) {
    Result<std::optional<Merged::Record>> r = merged.next_record();
    ASSERT_TRUE(r) << r.error().text();
    EXPECT_FALSE(r->has_value());
  }

  static void expect_lost(Merged& merged) {
    Result<std::optional<Merged::Record>> r = merged.next_record();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().variant(), Error::Variant::Lost);
    EXPECT_EQ(r.error().text(), kLostMessage);
  }

  static std::uint32_t get_le32(const fs::path& path, std::size_t offset) {
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(f.get() & 0xff) << (8 * i);
    return v;
  }

  static void set_le32(const fs::path& path, std::size_t offset, std::uint32_t value) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    for (int i = 0; i < 4; ++i) f.put(static_cast<char>(value >> (8 * i)));
    ASSERT_TRUE(f.good());
  }

  // About three blocks of records that LZ4 cannot shrink.
  static std::vector<Rec> bulky() {
    std::mt19937 rng(1);
    std::vector<Rec> out;
    for (int i = 0; i < 300; ++i) {
      std::string key = std::to_string(100000 + i);
      std::string payload(1200, '\0');
      for (char& c : payload) c = static_cast<char>(rng());
      out.push_back(Rec{key, payload});
    }
    return out;
  }

  TempDir dir_;
  fs::path dir_path_;  // the private directory, also after it is handed on
  std::optional<PrivateDir> private_dir_;
  std::vector<Source> sources_;
  std::vector<std::vector<Rec>> inputs_;  // each source's records in its own order
  int next_run_ = 0;
};

TEST_F(MergedTest, NothingToMergeEndsAtOnce) {
  {
    PrivateDir other = must(make_dir(dir_.path()));
    const fs::path path = other.path();
    Merged merged = must(Merged::create({}, std::move(other)));
    EXPECT_FALSE(merged.holds_directory());
    EXPECT_FALSE(fs::exists(path));
    expect_end(merged);
    expect_end(merged);
  }
  // Only empty sources: the directory and every file go in create().
  const std::size_t fds = open_fds();
  add_run({});
  add_held({});
  add_run({});
  Merged merged = must(merge());
  EXPECT_FALSE(merged.holds_directory());
  EXPECT_FALSE(fs::exists(dir_path_));
  EXPECT_EQ(open_fds(), fds);
  expect_end(merged);
}

TEST_F(MergedTest, EqualKeysLeaveInSourceOrder) {
  add_run(tagged({"k", "k", "z", "k"}));
  add_run(tagged({"a", "k", "k"}));
  add_held(tagged({"k", "b", "k", "k"}));
  Merged merged = must(merge());
  // Run 0's k, then run 1's, then the held half's, each in its own order.
  EXPECT_EQ(drain_ok(merged), (std::vector<Rec>{{"a", "1.0"}, {"b", "2.1"}, {"k", "0.0"},
                                                {"k", "0.1"}, {"k", "0.3"}, {"k", "1.1"},
                                                {"k", "1.2"}, {"k", "2.0"}, {"k", "2.2"},
                                                {"k", "2.3"}, {"z", "0.2"}}));
}

// Keys are unsigned bytes, a prefix first; an empty record is a record.
TEST_F(MergedTest, EdgeKeys) {
  add_run({{"abc", "0"}, {"\xff", "1"}});
  add_run({{"ab", "2"}, {"\x01", "3"}, {"", ""}});
  add_held({{"a", "4"}, {"", ""}, {"ab\x80", "6"}, {"", ""}});
  Merged merged = must(merge());
  EXPECT_EQ(drain_ok(merged),
            (std::vector<Rec>{{"", ""}, {"", ""}, {"", ""}, {"\x01", "3"}, {"a", "4"}, {"ab", "2"},
                              {"abc", "0"}, {"ab\x80", "6"}, {"\xff", "1"}}));
}

TEST_F(MergedTest, SingleSourceFlowsWithoutHeapWork) {
  std::mt19937 rng(7);
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back(std::to_string(rng() % 500));
  add_run(tagged(keys));
  Merged merged = must(merge());
  EXPECT_EQ(drain_ok(merged), model(inputs_));
  EXPECT_EQ(merged.switches(), 1u);  // only the first record came from the heap
}

TEST_F(MergedTest, EndReleasesEverythingAndRepeats) {
  const std::size_t fds = open_fds();
  add_run(tagged({"b", "d"}));
  add_run(tagged({"a", "c"}));
  add_held(tagged({"e"}));
  ASSERT_GT(open_fds(), fds);
  Merged merged = must(merge());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(must(merged.next_record()));
  // The last record is still backed by the merge; the end releases it all.
  EXPECT_TRUE(merged.holds_directory());
  expect_end(merged);
  EXPECT_FALSE(merged.holds_directory());
  EXPECT_FALSE(fs::exists(dir_path_));
  EXPECT_EQ(open_fds(), fds);
  expect_end(merged);
  expect_end(merged);
}

TEST_F(MergedTest, DroppingOrReplacingAMergeRemovesItsDirectory) {
  const std::size_t fds = open_fds();
  add_run(tagged({"a", "b"}));
  add_run(tagged({"a"}));
  {
    Merged merged = must(merge());
    ASSERT_TRUE(must(merged.next_record()));
    Merged moved = std::move(merged);
    EXPECT_FALSE(merged.holds_directory());
    EXPECT_TRUE(moved.holds_directory());
    EXPECT_TRUE(fs::exists(dir_path_));
  }
  EXPECT_FALSE(fs::exists(dir_path_));
  EXPECT_EQ(open_fds(), fds);

  new_private_dir();
  const fs::path first = dir_path_;
  add_run(tagged({"a"}));
  Merged target = must(merge());
  new_private_dir();
  add_run(tagged({"b"}));
  Merged other = must(merge());
  target = std::move(other);
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(fs::exists(dir_path_));
  EXPECT_FALSE(other.holds_directory());
  EXPECT_EQ(drain_ok(target), inputs_.back());
}

// A run cut short, or with a damaged block after the first, gives up the
// records before the damage, then its error naming the run; the merge then
// holds nothing and every later call reports the loss.
TEST_F(MergedTest, DamageMidwayFailsTheMergeForGood) {
  enum class Damage { kCut, kImpossibleLength, kWrongLength };
  for (Damage damage : {Damage::kCut, Damage::kImpossibleLength, Damage::kWrongLength}) {
    SCOPED_TRACE(static_cast<int>(damage));
    inputs_.clear();
    new_private_dir();
    const std::size_t fds = open_fds();
    add_run(tagged({"100100x", "999999"}));
    quillmere::Run run = write_run(bulky());
    const std::size_t second_block = 8 + get_le32(run.path, 0);
    std::string expected = run.path.native();
    if (damage == Damage::kCut) {
      fs::resize_file(run.path, fs::file_size(run.path) - 5);
      expected += " ended before its last record";
    } else if (damage == Damage::kImpossibleLength) {
      set_le32(run.path, second_block + 4, 0);
      expected += " is corrupt: a block has an impossible length";
    } else {
      // A plausible length, one byte short of what the body decodes to.
      ASSERT_EQ(get_le32(run.path, second_block + 4), 131072u);
      set_le32(run.path, second_block + 4, 131071);
      expected += " is corrupt: a block does not decompress to its length";
    }
    add_reader(run, bulky());

    Merged merged = must(merge());
    Drained out = drain(merged);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->text(), expected);
    EXPECT_EQ(out.error->kind(),
              damage == Damage::kCut ? IoKind::UnexpectedEof : IoKind::InvalidData);
    const std::vector<Rec> all = model(inputs_);
    ASSERT_GT(out.records.size(), 1u);
    ASSERT_LT(out.records.size(), all.size());
    EXPECT_TRUE(std::equal(out.records.begin(), out.records.end(), all.begin()));
    EXPECT_FALSE(merged.holds_directory());
    EXPECT_FALSE(fs::exists(dir_path_));
    EXPECT_EQ(open_fds(), fds);
    expect_lost(merged);
    expect_lost(merged);
  }
}

// A source whose first record cannot be read fails create(), which leaves
// nothing behind. A directory opens for reading, but read() on it fails:
// an error other than damage gets "PATH: " in front and keeps its kind.
TEST_F(MergedTest, UnreadableFirstRecordFailsCreate) {
  for (bool damaged : {true, false}) {
    SCOPED_TRACE(damaged);
    new_private_dir();
    const std::size_t fds = open_fds();
    add_run(tagged({"a"}));
    quillmere::Run run{dir_path_ / "not-a-file", 1, 10};
    if (damaged) {
      run = write_run(tagged({"b", "c"}));
      set_le32(run.path, 4, 0);
    } else {
      fs::create_directory(run.path);
    }
    add_reader(run, {});
    add_held(tagged({"d"}));

    Result<Merged> merged = merge();
    ASSERT_FALSE(merged);
    EXPECT_EQ(merged.error().text(),
              run.path.native() + (damaged ? " is corrupt: a block has an impossible length"
                                           : ": " + os_error_text(EISDIR)));
    EXPECT_EQ(merged.error().kind(), damaged ? IoKind::InvalidData : IoKind::IsADirectory);
    EXPECT_FALSE(fs::exists(dir_path_));
    EXPECT_EQ(open_fds(), fds);
  }
}

// Many sources of random sizes, some empty, keys from a tiny alphabet so
// that ties across sources and prefixes are everywhere.
TEST_F(MergedTest, RandomSourcesMatchTheModel) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    inputs_.clear();
    const std::size_t n = 1 + rng() % 70;
    const bool with_held = rng() % 2 == 0;
    for (std::size_t s = 0; s < n; ++s) {
      std::vector<std::string> keys(rng() % 4 == 0 ? 0 : 1 + rng() % 60);
      for (std::string& key : keys) {
        for (std::size_t i = rng() % 4; i > 0; --i) key += "ab\xfe"[rng() % 3];
      }
      if (with_held && s == n - 1) {
        add_held(tagged(keys));
      } else {
        add_run(tagged(keys));
      }
    }
    Merged merged = must(Merged::create(std::move(sources_), std::nullopt));
    const std::vector<Rec> expected = model(inputs_);
    ASSERT_EQ(drain_ok(merged), expected);
    // Only a change of source touches the heap.
    EXPECT_EQ(merged.switches(), expected.empty() ? 0 : 1 + source_changes(expected));
  }
}

// Nearly sorted input: long stretches of consecutive keys, each from one
// source, so records flow from one source at a time.
TEST_F(MergedTest, NearlySortedInputFlowsInStretches) {
  std::mt19937 rng(99);
  constexpr std::size_t kSources = 12;
  constexpr std::uint32_t kRecords = 60000;
  std::vector<std::vector<std::string>> keys(kSources);
  std::size_t stretches = 0;
  for (std::uint32_t next = 0; next < kRecords; ++stretches) {
    std::vector<std::string>& to = keys[rng() % kSources];
    for (std::uint32_t end = next + 1 + rng() % 2000; next < std::min(end, kRecords); ++next) {
      to.push_back({char(next >> 24), char(next >> 16), char(next >> 8), char(next)});
    }
  }
  for (std::size_t s = 0; s + 1 < kSources; ++s) add_run(tagged(keys[s]));
  add_held(tagged(keys.back()));
  Merged merged = must(merge());
  const std::vector<Rec> expected = model(inputs_);
  ASSERT_EQ(drain_ok(merged), expected);
  EXPECT_EQ(merged.switches(), 1 + source_changes(expected));
  EXPECT_LE(merged.switches(), stretches);
}

}  // namespace
}  // namespace quillmere
