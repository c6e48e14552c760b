#include "sorter/private_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>

#include "base/test_util.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

class PrivateDirTest : public ::testing::Test {
 protected:
  // Runs f with the process umask set to 0, so modes are seen unmasked.
  template <class F>
  void with_umask_zero(F f) {
    mode_t old = umask(0);
    f();
    umask(old);
  }

  TempDir base_;
};

TEST_F(PrivateDirTest, NameAndModeOfANewDirectory) {
  with_umask_zero([&] {
    Result<PrivateDir> dir = make_dir(base_.path());
    ASSERT_TRUE(dir) << dir.error().text();
    EXPECT_EQ(dir->path().parent_path(), base_.path());
    EXPECT_TRUE(std::regex_match(dir->path().filename().native(),
                                 std::regex("quillmere-[A-Za-z0-9]{6}")));
    struct stat st;
    ASSERT_EQ(stat(dir->path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // Run files hold user data: nobody else may list or read them.
    EXPECT_EQ(st.st_mode & 07777, 0700u);
  });
}

TEST_F(PrivateDirTest, NamesDiffer) {
  std::vector<PrivateDir> dirs;
  std::set<fs::path> names;
  for (int i = 0; i < 200; ++i) {
    Result<PrivateDir> dir = make_dir(base_.path());
    ASSERT_TRUE(dir);
    names.insert(dir->path());
    dirs.push_back(std::move(*dir));
  }
  EXPECT_EQ(names.size(), 200u);
  EXPECT_EQ(base_.list().size(), 200u);
  dirs.clear();
  EXPECT_TRUE(base_.list().empty());
}

TEST_F(PrivateDirTest, DroppingRemovesEverythingInside) {
  fs::path path;
  {
    Result<PrivateDir> dir = make_dir(base_.path());
    ASSERT_TRUE(dir);
    path = dir->path();
    std::ofstream(path / "run-000000") << "records";
    fs::create_directory(path / "nested");
    std::ofstream(path / "nested" / "f") << "x";
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(base_.list().empty());
}

TEST_F(PrivateDirTest, MovingHandsOverTheRemoval) {
  Result<PrivateDir> made = make_dir(base_.path());
  ASSERT_TRUE(made);
  fs::path path = made->path();
  std::optional<PrivateDir> kept;
  {
    PrivateDir moved = std::move(*made);
    kept.emplace(std::move(moved));
  }
  EXPECT_TRUE(fs::exists(path));  // neither moved-from owner removed it
  kept.reset();
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(PrivateDirTest, RelativeBaseBecomesAbsolute) {
  fs::path old_cwd = fs::current_path();
  fs::current_path(base_.path());
  fs::create_directory("sub");
  Result<PrivateDir> dir = make_dir(fs::path("sub"));
  fs::current_path(old_cwd);
  ASSERT_TRUE(dir);
  EXPECT_TRUE(dir->path().is_absolute());
  EXPECT_EQ(dir->path().parent_path(), base_.path() / "sub");
}

TEST_F(PrivateDirTest, FailureNamesTheBaseAndThePathTried) {
  // A regular file as the base: mkdir inside it fails with ENOTDIR.
  fs::path file = base_.path() / "file";
  std::ofstream(file) << "x";
  Result<PrivateDir> dir = make_dir(file);
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error().kind(), IoKind::NotADirectory);
  const std::string text = dir.error().text();
  const std::string prefix = file.native() + ": " + Error::from_errno(ENOTDIR).text() +
                             " at path \"" + file.native() + "/quillmere-";
  EXPECT_EQ(text.substr(0, prefix.size()), prefix) << text;
  EXPECT_TRUE(std::regex_match(text.substr(prefix.size()), std::regex("[A-Za-z0-9]{6}\"")))
      << text;

  // A relative base is named as given, not as resolved.
  Result<PrivateDir> missing = make_dir(fs::path("no/such/dir"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), IoKind::NotFound);
  EXPECT_TRUE(missing.error().text().starts_with("no/such/dir: ")) << missing.error().text();
  EXPECT_NE(missing.error().text().find(" at path \"" + (fs::current_path() / "no/such/dir").native()),
            std::string::npos)
      << missing.error().text();
}

// Hands out fixed names, counting what make_dir asks of it.
class FixedNames : public NameSource {
 public:
  explicit FixedNames(std::vector<std::string> names) : names_(std::move(names)) {}
  std::string name() override {
    ++asked;
    return names_[std::min(asked - 1, names_.size() - 1)];
  }
  void reseed() override { reseeded_at = asked + 1; }
  std::size_t asked = 0;
  std::size_t reseeded_at = 0;  // the attempt that followed the reseed

 private:
  std::vector<std::string> names_;
};

TEST_F(PrivateDirTest, TakenNamesAreSkipped) {
  fs::create_directory(base_.path() / "quillmere-AAAAAA");
  std::ofstream(base_.path() / "quillmere-BBBBBB") << "a file takes the name too";
  FixedNames names({"quillmere-AAAAAA", "quillmere-BBBBBB", "quillmere-AAAAAA",
                    "quillmere-CCCCCC"});
  Result<PrivateDir> dir = make_dir(base_.path(), names);
  ASSERT_TRUE(dir) << dir.error().text();
  EXPECT_EQ(dir->path(), base_.path() / "quillmere-CCCCCC");
  EXPECT_EQ(names.asked, 4u);
  EXPECT_EQ(names.reseeded_at, 4u);
}

TEST_F(PrivateDirTest, GivesUpAfterSoManyCollisions) {
  fs::create_directory(base_.path() / "quillmere-AAAAAA");
  FixedNames names({"quillmere-AAAAAA"});
  fs::path old_cwd = fs::current_path();
  fs::current_path(base_.path().parent_path());
  const fs::path relative = base_.path().filename();
  Result<PrivateDir> dir = make_dir(relative, names);
  fs::current_path(old_cwd);
  ASSERT_FALSE(dir);
  EXPECT_EQ(names.asked, 65536u);
  EXPECT_EQ(dir.error().kind(), IoKind::AlreadyExists);
  // The base as given, then the absolute base it tried in.
  EXPECT_EQ(dir.error().text(), relative.native() +
                                    ": too many temporary files exist at path \"" +
                                    base_.path().native() + "\"");
}

TEST(QuoteTest, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quote("/tmp/a b"), "\"/tmp/a b\"");
  EXPECT_EQ(quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote("a\nb\tc\rd"), "\"a\\nb\\tc\\rd\"");
  EXPECT_EQ(quote(std::string_view("\x01\x7f", 2)), "\"\\x01\\x7f\"");
  EXPECT_EQ(quote("caf\xc3\xa9"), "\"caf\xc3\xa9\"");  // other bytes pass as they are
}

}  // namespace
}  // namespace quillmere
