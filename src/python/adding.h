// The adding path: Sorter.add and Sorter.add_encoded, and the per-item steps
// that sort(items) shares with them. The package's helpers add through
// records.h, which this path implements.
//
// The key function and the codec run with no lock held, so they may call
// the sorter themselves. The record then goes to the core under the lock:
// with the thread still attached when it fits the filling half (one
// non-blocking lock attempt, no detach), detached when the half must be
// spilled or the lock is busy.

#pragma once

#include <Python.h>

#include "python/records.h"
#include "python/sorter_object.h"

namespace quillmere::python {

// Succeeds, or raises what adding would meet (closed, read, stopped),
// without blocking and without calling any user code.
bool check_adding(PySorter* self);

// The sorter's own key function and codec, for adding items one by one.
ItemEncoder item_encoder(PySorter* self) noexcept;

// Keys, encodes and pushes one item with `encoder`. Raises and adds
// nothing on failure.
bool push_item(PySorter* self, PyObject* item, ItemEncoder& encoder);

PyObject* sorter_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sorter_add_encoded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

}  // namespace quillmere::python
