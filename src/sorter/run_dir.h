// Where a sorter's run files go: the spill directory, the private directory
// made in it on first use, and the counter that names the next run.
//
// A RunDir belongs to the core sorter while items are added, then moves
// with what adding leaves behind to the merge plan, which names its merge
// outputs from the same counter and finally hands the private directory to
// the final merge. Whoever holds the directory last removes it with every
// run in it. Moving a RunDir moves the directory; it is never copied. Not
// safe for concurrent use.

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>

#include "base/error.h"
#include "sorter/private_dir.h"

namespace quillmere {

class RunDir {
 public:
  // Makes nothing yet: the private directory waits for the first run.
  explicit RunDir(std::filesystem::path tmp_dir) noexcept : tmp_dir_(std::move(tmp_dir)) {}
  // The moved-from RunDir holds no directory, so dropping it removes nothing.
  RunDir(RunDir&& other) noexcept
      : tmp_dir_(std::move(other.tmp_dir_)),
        dir_(std::exchange(other.dir_, std::nullopt)),
        next_run_(other.next_run_) {}
  RunDir& operator=(RunDir&&) = delete;
  RunDir(const RunDir&) = delete;
  RunDir& operator=(const RunDir&) = delete;

  // The path of the next run file: "run-000000", "run-000001", ... in the
  // private directory, which is made in tmp_dir on first use (a failure to
  // make it is returned, and the next call tries again). Spills and merge
  // passes draw from this one counter, so no two runs share a name.
  [[nodiscard]] Result<std::filesystem::path> next_path();

  // Hands the private directory, if one was made, to whoever removes it
  // next: the final merge. No run may be named afterwards.
  std::optional<PrivateDir> hand_over() && noexcept {
    return std::exchange(dir_, std::nullopt);
  }

 private:
  std::filesystem::path tmp_dir_;   // where the private directory goes
  std::optional<PrivateDir> dir_;   // made by the first next_path
  std::uint64_t next_run_ = 0;      // number of the next run file
};

}  // namespace quillmere
