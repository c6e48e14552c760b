// The sorter's private directory: "quillmere-" and 6 random letters or digits,
// made in the spill directory at the first spill. Whoever owns the PrivateDir
// last removes the directory and everything in it; nothing it held outlives
// the sorter. A PrivateDir can be moved (it goes with the run directory
// from the core sorter to the final merge) but not copied. Not safe for concurrent use.

#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.h"
#include "base/process.h"

namespace quillmere {

class PrivateDir {
 public:
  // Takes ownership of an existing directory at an absolute path.
  explicit PrivateDir(std::filesystem::path path) noexcept : path_(std::move(path)) {}
  PrivateDir(PrivateDir&& other) noexcept
      : path_(std::exchange(other.path_, {})), made_(other.made_) {}
  PrivateDir& operator=(PrivateDir&& other) noexcept;
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;
  // Removes the directory and everything in it, ignoring errors; in a
  // process forked from the one that made it, leaves it alone.
  ~PrivateDir() { remove(); }

  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  void remove() noexcept;

  std::filesystem::path path_;  // empty once moved from
  MadeHere made_;               // a forked child must not remove its parent's files
};

// Makes a new private directory in `base`. A relative base is
// resolved against the working directory, so the result is absolute. The
// directory is made with mode 0700: run files hold the user's data, and the
// spill directory is often shared with other users.
[[nodiscard]] Result<PrivateDir> make_dir(const std::filesystem::path& base);

// `text` in double quotes, with quotes, backslashes and control characters
// escaped by a backslash, for paths inside messages.
std::string quote(std::string_view text);

}  // namespace quillmere
