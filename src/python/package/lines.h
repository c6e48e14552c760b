// _Lines: the command's text records, keyed a block at a time in C++.

#pragma once

#include <Python.h>

#include <cstddef>

#include <span>

#include "key/key.h"
#include "key/line_keys.h"
#include "python/errors.h"
#include "python/ref.h"

namespace quillmere::python {

// This interpreter's _Lines type, made on first use (a new reference, or
// nullptr with an exception set).
Ref lines_type();

// What a _Lines object keys records with, borrowed from it (valid while it
// lives); `keys` is nullptr, with TypeError set, when `o` is no _Lines.
struct LinesView {
  const lines::LineKeys* keys;
  std::byte terminator;
};
LinesView lines_view(PyObject* o);

// The key of `record` (without its terminator) as `keys` orders it: the
// record itself when it is its own key, else made in `buffer`. `tail`, when
// given, gets how many of the key's last bytes are its last resort.
std::span<const std::byte> record_key(const lines::LineKeys& keys,
                                      std::span<const std::byte> record, key::Buffer& buffer,
                                      std::size_t* tail = nullptr);

// Runs a method's `body` (inside `boundary`) with `obj`'s critical section
// held, which guards the object's own state.
template <typename Body>
PyObject* with_state(PyObject* obj, Body&& body) {
  PyObject* result = nullptr;
  (void)obj;  // the section is empty where the interpreter has a global lock
  Py_BEGIN_CRITICAL_SECTION(obj);
  result = boundary(body);
  Py_END_CRITICAL_SECTION();
  return result;
}

}  // namespace quillmere::python
