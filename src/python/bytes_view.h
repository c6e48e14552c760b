// Views of the bytes in a bytes object, and their order as the core sorts
// them (memcmp, a prefix first).

#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>

namespace quillmere::python {

// The contents of a bytes object, valid while it lives.
inline std::span<const std::byte> bytes_of(PyObject* bytes) {
  return {reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(bytes)),
          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// <0, 0 or >0 as `a` sorts before, with or after `b`.
inline int compare(std::span<const std::byte> a, std::span<const std::byte> b) {
  const std::size_t common = std::min(a.size(), b.size());
  if (common != 0) {
    if (int c = std::memcmp(a.data(), b.data(), common); c != 0) return c;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace quillmere::python
