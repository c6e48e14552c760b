// Encoding Python key values into order-preserving bytes: the half of the
// key encoding that inspects Python objects. The byte layout itself is in
// key/key.h.
//
// Needs the calling thread attached to the interpreter: it holds references
// and may run Python code (__index__, str.encode for lone surrogates). Ints
// of 64 bits, floats, None, str and bytes are encoded without calling any
// Python code. Keeps no state between calls.

#pragma once

#include <Python.h>

#include "key/key.h"

namespace quillmere::python {

// Containers nested deeper than this are refused with RecursionError.
inline constexpr unsigned kMaxKeyDepth = 256;

// Appends the encoding of `key` to `out`; `depth` is 0 for the key itself.
// Returns false with a Python exception set (TypeError for a value that is
// no sort key, RecursionError for nesting too deep, or whatever Python code
// run on the way raised); what was appended is then meaningless.
bool encode_key(PyObject* key, key::Buffer& out, unsigned depth);

// Appends the encoding of an int (or int subclass, by its value).
bool push_int(PyObject* value, key::Buffer& out);

}  // namespace quillmere::python
