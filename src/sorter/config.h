// What a core sorter is configured by: the constructor's settings, their
// defaults, and the check of their minimums. The Python layer checks the
// same settings with the same function before it makes a core sorter, so a
// bad value reads the same whichever layer finds it.

#pragma once

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "base/error.h"

namespace quillmere {

// The defaults of the Python constructor's arguments.
inline constexpr std::uint64_t kDefaultMaxBytes = 268435456;
inline constexpr std::uint64_t kDefaultMaxOpen = 64;
inline constexpr std::uint64_t kDefaultThreads = 1;

struct Config {
  std::filesystem::path tmp_dir;  // where the private directory goes
  std::uint64_t max_bytes = kDefaultMaxBytes;
  std::uint64_t max_open = kDefaultMaxOpen;
  std::uint64_t threads = kDefaultThreads;
};

// Checks max_bytes (at least 2), max_open (at least 2) and threads (at least
// 1), in that order: the first below its minimum fails with Invalid "NAME
// must be at least MIN, not VALUE". The values may be signed, as the Python
// layer reads them: a negative one fails, shown as it was given.
template <std::integral T>
[[nodiscard]] Result<> check_settings(T max_bytes, T max_open, T threads) {
  struct Setting {
    const char* name;
    T value;
    std::uint64_t minimum;
  };
  for (const Setting& s : {Setting{"max_bytes", max_bytes, 2}, Setting{"max_open", max_open, 2},
                           Setting{"threads", threads, 1}}) {
    if (std::cmp_less(s.value, s.minimum)) {
      return fail(Error::invalid(std::string(s.name) + " must be at least " +
                                 std::to_string(s.minimum) + ", not " + std::to_string(s.value)));
    }
  }
  return {};
}

}  // namespace quillmere
