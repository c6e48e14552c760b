// _Lines: the command's text records, keyed a block at a time in C++.

#pragma once

#include <Python.h>

#include <cstddef>

#include "key/line_keys.h"
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

}  // namespace quillmere::python
