// Naming run files.

#include "sorter/run_dir.h"

#include <cstdio>

namespace quillmere {

Result<std::filesystem::path> RunDir::next_path() {
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
