#include "sorter/sorter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <regex>

#include "test_util.h"

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

}  // namespace
}  // namespace quillmere
