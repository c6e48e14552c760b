// The core sorter: configuration, the two halves of memory, the runs spilled
// so far, the private directory they live in, and the optional worker pool.
//
// One Python Sorter object owns one core Sorter while items are added. Its
// fields are touched only by the thread holding that object's lock, or by
// the thread that drops it. Dropping it removes the private directory with
// every run file in it.

#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "error.h"
#include "run/run.h"
#include "sorter/chunk.h"
#include "sorter/pool.h"
#include "sorter/private_dir.h"

namespace quillmere {

struct Config {
  std::optional<std::filesystem::path> tmp_dir;  // where the private directory goes
  std::uint64_t max_bytes = 268435456;
  std::uint64_t max_open = 64;
  std::uint64_t threads = 1;
};

class Sorter {
 public:
  // Checks the configuration, checks that a private directory can be made in
  // tmp_dir (making one and removing it at once), and starts the worker pool
  // when threads >= 2. The first failure is returned; nothing is left behind.
  [[nodiscard]] static Result<std::unique_ptr<Sorter>> create(Config config);

  Sorter(const Sorter&) = delete;
  Sorter& operator=(const Sorter&) = delete;
  ~Sorter();

  // The path of the next run file: "run-000000", "run-000001", ... in the
  // private directory, which is made on first use. Spills and merge passes
  // draw from the same counter, so no two runs share a name.
  [[nodiscard]] Result<std::filesystem::path> next_path();

  std::uint64_t max_bytes() const noexcept { return max_bytes_; }
  std::uint64_t max_open() const noexcept { return max_open_; }
  std::uint64_t threads() const noexcept { return threads_; }
  std::uint64_t half() const noexcept { return half_; }
  const std::optional<std::filesystem::path>& tmp_dir() const noexcept { return tmp_dir_; }
  // The private directory's path, or none before the first run path.
  std::optional<std::filesystem::path> dir_path() const;
  const std::shared_ptr<WorkerPool>& pool() const noexcept { return pool_; }

 private:
  explicit Sorter(Config config, std::shared_ptr<WorkerPool> pool);

  Chunk chunk_;                                  // the half being filled
  std::vector<Run> runs_;                        // in order of addition
  std::optional<std::filesystem::path> tmp_dir_;
  std::uint64_t max_bytes_;
  std::uint64_t max_open_;
  std::uint64_t threads_;
  std::optional<Chunk> spare_;       // the emptied half a spill sent back
  std::optional<PrivateDir> dir_;    // made by the first next_path
  std::shared_ptr<WorkerPool> pool_; // present exactly when threads >= 2
  std::uint64_t half_;               // max_bytes / 2: the limit of one half
  std::uint64_t next_run_ = 0;       // number of the next run file
  std::uint64_t count_ = 0;          // items added so far
  bool stopped_ = false;             // a failure lost items
};

}  // namespace quillmere
