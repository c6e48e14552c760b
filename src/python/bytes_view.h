// Views of the bytes in a bytes object, for handing them to the core.

#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

namespace quillmere::python {

// The contents of a bytes object, valid while it lives.
inline std::span<const std::byte> bytes_of(PyObject* bytes) {
  return {reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(bytes)),
          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

}  // namespace quillmere::python
