// Binding the arguments of a call to named parameters, with messages that
// read like the interpreter's own.

#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

namespace quillmere::python {

// Parameters in order: positional-only ones first, then those that may be
// given either way, then keyword-only ones.
struct Signature {
  const char* function;                 // as messages name it: "Sorter.__new__"
  std::span<const char* const> names;   // every parameter
  std::size_t positional_only = 0;      // the first this many take no keyword
  std::size_t max_positional = 0;       // the first this many may be positional
  std::size_t required = 0;             // the first this many must be given
};

// Binds a fast call with keywords. out[i] receives a borrowed reference to
// parameter i, or nullptr when it was not given. Returns false with
// TypeError set when the arguments do not fit the signature.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// The same for a tuple and an optional dict (tp_new). The references in out
// are borrowed from them.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace quillmere::python
