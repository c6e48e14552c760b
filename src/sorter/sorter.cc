// Constructing and dropping the core sorter; run paths.

#include "sorter/sorter.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace quillmere {
namespace {

Result<> check_setting(const char* name, std::uint64_t value, std::uint64_t minimum) {
  if (value >= minimum) return {};
  return fail(Error::invalid(std::string(name) + " must be at least " + std::to_string(minimum) +
                             ", not " + std::to_string(value)));
}

// A bad spill directory should fail the constructor, not the first spill.
Result<> check_tmp_dir(const std::filesystem::path& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return fail(Error::from_errno(errno).with_path(dir));
  if (!S_ISDIR(st.st_mode)) {
    return fail(Error::io(IoKind::NotADirectory, dir.native() + " is not a directory"));
  }
  // Making one and dropping it at once proves that spilling can begin.
  Result<PrivateDir> probe = make_dir(dir);
  if (!probe) return fail(std::move(probe.error()));
  return {};
}

}  // namespace

Result<std::unique_ptr<Sorter>> Sorter::create(Config config) {
  if (Result<> r = check_setting("max_bytes", config.max_bytes, 2); !r) return fail(r.error());
  if (Result<> r = check_setting("max_open", config.max_open, 2); !r) return fail(r.error());
  if (Result<> r = check_setting("threads", config.threads, 1); !r) return fail(r.error());
  if (config.tmp_dir) {
    if (Result<> r = check_tmp_dir(*config.tmp_dir); !r) return fail(r.error());
  } else {
    Result<PrivateDir> probe = make_dir(std::nullopt);
    if (!probe) return fail(std::move(probe.error()));
  }
  std::shared_ptr<WorkerPool> pool;
  if (config.threads >= 2) {
    Result<std::shared_ptr<WorkerPool>> started = WorkerPool::start(config.threads);
    if (!started) return fail(std::move(started.error()));
    pool = std::move(*started);
  }
  return std::unique_ptr<Sorter>(new Sorter(std::move(config), std::move(pool)));
}

Sorter::Sorter(Config config, std::shared_ptr<WorkerPool> pool)
    : tmp_dir_(std::move(config.tmp_dir)),
      max_bytes_(config.max_bytes),
      max_open_(config.max_open),
      threads_(config.threads),
      pool_(std::move(pool)),
      half_(config.max_bytes / 2) {}

// Members go in reverse order of declaration: the pool share, the halves
// and the runs, then the private directory with every file in it.
Sorter::~Sorter() = default;

std::optional<std::filesystem::path> Sorter::dir_path() const {
  if (!dir_) return std::nullopt;
  return dir_->path();
}

Result<std::filesystem::path> Sorter::next_path() {
  if (!dir_) {
    Result<PrivateDir> made = make_dir(tmp_dir_);
    if (!made) return fail(std::move(made.error()));
    dir_.emplace(std::move(*made));
  }
  char name[32];
  std::snprintf(name, sizeof name, "run-%06llu", static_cast<unsigned long long>(next_run_));
  ++next_run_;
  return dir_->path() / name;
}

}  // namespace quillmere
