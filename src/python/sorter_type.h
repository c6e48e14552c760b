// The Python class Sorter itself: its type object, its constructor and its
// lifecycle (close, the with block, len, garbage collection and dealloc).

#pragma once

#include <Python.h>

#include "python/ref.h"

namespace quillmere::python {

// This interpreter's Sorter type, made on first use (a new reference, or
// nullptr with an exception set).
Ref sorter_type();

// _check_sorter_arguments(key=None, *, codec=None, max_bytes=..., tmp_dir=None,
// max_open=..., threads=...): checks arguments as the constructor does, with
// its messages, without making a sorter (no directory is probed, no thread
// started). Returns None. Private to the quillmere package.
PyObject* check_sorter_arguments(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

}  // namespace quillmere::python
