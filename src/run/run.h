// What a finished run file is known by. The file carries neither its record
// count nor its size; they travel in memory in this record. Dropping a Run
// leaves its file alone: files go with the private directory, or when a
// merge pass deletes the runs it merged.

#pragma once

#include <cstdint>
#include <filesystem>

namespace quillmere {

struct Run {
  std::filesystem::path path;
  std::uint64_t count = 0;  // records in the run
  std::uint64_t bytes = 0;  // sum of key length + payload length + 8 over its records
};

}  // namespace quillmere
