#include "sorter/sorter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>

#include "base/test_util.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

class SorterTest : public ::testing::Test {
 protected:
  Result<std::unique_ptr<Sorter>> make(std::uint64_t max_bytes = 1 << 20,
                                       std::uint64_t max_open = 64, std::uint64_t threads = 1) {
    return Sorter::create(Config{tmp_.path(), max_bytes, max_open, threads});
  }
  TempDir tmp_;
};

TEST_F(SorterTest, SettingsAreCheckedInOrder) {
  auto message = [&](std::uint64_t max_bytes, std::uint64_t max_open, std::uint64_t threads) {
    Result<std::unique_ptr<Sorter>> s = make(max_bytes, max_open, threads);
    EXPECT_FALSE(s);
    if (s) return std::string();
    EXPECT_EQ(s.error().variant(), Error::Variant::Invalid);
    return s.error().text();
  };
  EXPECT_EQ(message(1, 64, 1), "max_bytes must be at least 2, not 1");
  EXPECT_EQ(message(1, 1, 0), "max_bytes must be at least 2, not 1");
  EXPECT_EQ(message(2, 1, 0), "max_open must be at least 2, not 1");
  EXPECT_EQ(message(2, 2, 0), "threads must be at least 1, not 0");
  // The numbers are checked before the directory is looked at.
  Result<std::unique_ptr<Sorter>> s = Sorter::create(Config{"/no/such/dir", 1, 64, 1});
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().variant(), Error::Variant::Invalid);
}

TEST_F(SorterTest, HalfIsIntegerHalfOfMaxBytes) {
  for (auto [max_bytes, half] : {std::pair{2u, 1u}, {3u, 1u}, {4u, 2u}, {1001u, 500u}}) {
    Result<std::unique_ptr<Sorter>> s = make(max_bytes);
    ASSERT_TRUE(s);
    EXPECT_EQ((*s)->half(), half);
    EXPECT_EQ((*s)->max_bytes(), max_bytes);
  }
}

TEST_F(SorterTest, BadSpillDirectoryFailsAtConstruction) {
  fs::path missing = tmp_.path() / "missing";
  Result<std::unique_ptr<Sorter>> s = Sorter::create(Config{missing, 2, 2, 1});
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), IoKind::NotFound);
  EXPECT_EQ(s.error().text(), missing.native() + ": " + Error::from_errno(ENOENT).text());

  fs::path file = tmp_.path() / "file";
  std::ofstream(file) << "x";
  s = Sorter::create(Config{file, 2, 2, 1});
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), IoKind::NotADirectory);
  EXPECT_EQ(s.error().text(), file.native() + " is not a directory");

  // A directory in which nothing can be made: procfs refuses mkdir.
  s = Sorter::create(Config{"/proc", 2, 2, 1});
  ASSERT_FALSE(s);
  EXPECT_TRUE(s.error().text().starts_with("/proc: ")) << s.error().text();
  EXPECT_NE(s.error().text().find(" at path \"/proc/quillmere-"), std::string::npos);

  // Failed constructions leave nothing behind.
  EXPECT_EQ(tmp_.list(), std::vector<std::string>{"file"});
}

TEST_F(SorterTest, DirectoryIsMadeAtTheFirstRunPathAndGoesWithTheSorter) {
  Result<std::unique_ptr<Sorter>> s = make();
  ASSERT_TRUE(s);
  EXPECT_TRUE(tmp_.list().empty());  // the probe was removed at once
  EXPECT_FALSE((*s)->dir_path());

  Result<fs::path> first = (*s)->next_path();
  ASSERT_TRUE(first);
  ASSERT_TRUE((*s)->dir_path());
  const fs::path dir = *(*s)->dir_path();
  EXPECT_EQ(dir.parent_path(), tmp_.path());
  EXPECT_TRUE(std::regex_match(dir.filename().native(), std::regex("quillmere-[A-Za-z0-9]{6}")));
  EXPECT_EQ(*first, dir / "run-000000");
  Result<fs::path> second = (*s)->next_path();
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, dir / "run-000001");
  std::ofstream(*first) << "run";

  s->reset();
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_TRUE(tmp_.list().empty());
}

TEST_F(SorterTest, RunNamesWidenPastSixDigits) {
  Result<std::unique_ptr<Sorter>> s = make();
  ASSERT_TRUE(s);
  fs::path last;
  for (int i = 0; i <= 1000000; ++i) {
    Result<fs::path> p = (*s)->next_path();
    ASSERT_TRUE(p);
    if (i == 999999) {
      EXPECT_EQ(p->filename(), "run-999999");
    }
    last = *p;
  }
  EXPECT_EQ(last.filename(), "run-1000000");
}

TEST_F(SorterTest, RelativeSpillDirectoryGivesAnAbsolutePrivateDirectory) {
  fs::path old_cwd = fs::current_path();
  fs::current_path(tmp_.path());
  fs::create_directory("spill");
  Result<std::unique_ptr<Sorter>> s = Sorter::create(Config{"spill", 2, 2, 1});
  ASSERT_TRUE(s);
  Result<fs::path> p = (*s)->next_path();
  fs::current_path(old_cwd);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->is_absolute());
  EXPECT_EQ(p->parent_path().parent_path(), tmp_.path() / "spill");
}

TEST_F(SorterTest, PoolExistsExactlyWithTwoOrMoreThreads) {
  Result<std::unique_ptr<Sorter>> one = make(1 << 20, 64, 1);
  ASSERT_TRUE(one);
  EXPECT_EQ((*one)->pool(), nullptr);
  Result<std::unique_ptr<Sorter>> four = make(1 << 20, 64, 4);
  ASSERT_TRUE(four);
  ASSERT_NE((*four)->pool(), nullptr);
  EXPECT_EQ((*four)->pool()->size(), 4u);

  Result<std::unique_ptr<Sorter>> huge = make(1 << 20, 64, 70000);
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().kind(), IoKind::Other);
}

std::span<const std::byte> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}

// Keeps every thread of a pool busy until opened, so a spill whose sort
// runs on the pool cannot end meanwhile.
class PoolGate {
 public:
  explicit PoolGate(WorkerPool& pool) {
    for (std::size_t i = 0; i < pool.size(); ++i) {
      pool.submit([this] {
        std::unique_lock lock(mu_);
        changed_.wait(lock, [&] { return open_; });
      });
    }
  }
  ~PoolGate() { open(); }
  void open() {
    {
      std::lock_guard lock(mu_);
      open_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  bool open_ = false;
};

class CountingStop final : public StopCheck {
 public:
  bool should_stop() override { return ++asked >= stop_after; }
  int asked = 0;
  int stop_after = 1;
};

TEST_F(SorterTest, FieldsOf4GiBAreRefusedWithNothingChanged) {
  Result<std::unique_ptr<Sorter>> s = make();
  ASSERT_TRUE(s);
  NeverStop go_on;
  const std::string small = "x";
  // Only the length is looked at: the bytes behind it are never read.
  const std::span<const std::byte> huge(bytes_of(small).data(), std::size_t{1} << 32);
  for (auto [key, payload] : {std::pair{huge, bytes_of(small)}, {bytes_of(small), huge}}) {
    Result<> r = (*s)->push(key, payload, go_on);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().variant(), Error::Variant::Invalid);
    EXPECT_EQ(r.error().text(), "a key or value must be shorter than 4 GiB");
  }
  EXPECT_EQ((*s)->count(), 0u);
  EXPECT_FALSE((*s)->stopped());
  EXPECT_TRUE((*s)->push(bytes_of(small), bytes_of(small), go_on));
  EXPECT_EQ((*s)->count(), 1u);
}

TEST_F(SorterTest, SpillsWriteEveryRecordOnce) {
  Result<std::unique_ptr<Sorter>> s = make(4096, 64, 1);
  ASSERT_TRUE(s);
  NeverStop go_on;
  for (int i = 0; i < 3000; ++i) {
    const std::string key = std::to_string(i % 97), payload = std::to_string(i);
    ASSERT_TRUE((*s)->push(bytes_of(key), bytes_of(payload), go_on));
  }
  ASSERT_TRUE((*s)->wait());
  EXPECT_FALSE((*s)->spilling());
  const std::vector<quillmere::Run>& runs = (*s)->runs();
  ASSERT_GE(runs.size(), 10u);
  std::uint64_t spilled = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "run-%06zu", i);
    EXPECT_EQ(runs[i].path.filename(), name);
    EXPECT_GE(runs[i].count, 1u);
    EXPECT_TRUE(fs::exists(runs[i].path));
    spilled += runs[i].count;
  }
  EXPECT_LT(spilled, 3000u);
  EXPECT_EQ((*s)->count(), 3000u);
}

TEST_F(SorterTest, AFailedSpillLosesItemsForGood) {
  fs::path spill = tmp_.path() / "spill";
  fs::create_directory(spill);
  Result<std::unique_ptr<Sorter>> s = Sorter::create(Config{spill, 2, 2, 1});
  ASSERT_TRUE(s);
  fs::remove(spill);  // the private directory can no longer be made
  NeverStop go_on;
  ASSERT_TRUE((*s)->push(bytes_of("a"), bytes_of("1"), go_on));
  Result<> r = (*s)->push(bytes_of("b"), bytes_of("2"), go_on);  // must spill "a"
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoKind::NotFound);
  EXPECT_TRUE(r.error().text().starts_with(spill.native() + ": ")) << r.error().text();
  EXPECT_TRUE((*s)->stopped());
  fs::create_directory(spill);  // even once spilling could work again
  for (int i = 0; i < 2; ++i) {
    Result<> lost = (*s)->push(bytes_of("c"), bytes_of("3"), go_on);
    ASSERT_FALSE(lost);
    EXPECT_EQ(lost.error().variant(), Error::Variant::Lost);
  }
  EXPECT_EQ((*s)->count(), 1u);
}

TEST_F(SorterTest, AnInterruptedWaitLeavesTheSpillPending) {
  // Halves of about 50000 records are sorted on the pool, which is held.
  Result<std::unique_ptr<Sorter>> s = make(3'000'000, 64, 2);
  ASSERT_TRUE(s);
  PoolGate gate(*(*s)->pool());
  NeverStop go_on;
  int i = 0;
  std::string key = "0000000";
  while (!((*s)->spilling() && (*s)->must_spill(key.size()))) {
    ASSERT_TRUE((*s)->push(bytes_of(key), {}, go_on));
    key = std::to_string(10000000 + ++i).substr(1);
  }
  CountingStop stop;
  stop.stop_after = 2;
  Result<> r = (*s)->push(bytes_of(key), {}, stop);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoKind::Interrupted);
  EXPECT_EQ(stop.asked, 2);
  EXPECT_EQ((*s)->count(), static_cast<std::uint64_t>(i));
  EXPECT_TRUE((*s)->spilling());
  EXPECT_FALSE((*s)->stopped());

  gate.open();
  ASSERT_TRUE((*s)->push(bytes_of(key), {}, go_on));
  EXPECT_EQ((*s)->runs().size(), 2u);
  ASSERT_TRUE((*s)->wait());
  EXPECT_EQ((*s)->runs()[0].count + (*s)->runs()[1].count, static_cast<std::uint64_t>(i));
}

TEST_F(SorterTest, DroppingDuringASpillWaitsThenRemovesEverything) {
  Result<std::unique_ptr<Sorter>> s = make(3'000'000, 64, 2);
  ASSERT_TRUE(s);
  auto gate = std::make_unique<PoolGate>(*(*s)->pool());
  NeverStop go_on;
  for (int i = 0; !(*s)->spilling(); ++i) {
    const std::string key = std::to_string(10000000 + i);
    ASSERT_TRUE((*s)->push(bytes_of(key), bytes_of(key), go_on));
  }
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gate->open();
  });
  s->reset();
  opener.join();
  EXPECT_TRUE(tmp_.list().empty());
}

}  // namespace
}  // namespace quillmere
