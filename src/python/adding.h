// The adding path: Sorter.add and Sorter.add_encoded, and the per-item steps
// that sort(items) shares with them.
//
// The key function and the codec run with no lock held, so they may call
// the sorter themselves. The record then goes to the core under the lock:
// with the thread still attached when it fits the filling half (one
// non-blocking lock attempt, no detach), detached when the half must be
// spilled or the lock is busy.

#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "key/key.h"
#include "python/ref.h"
#include "python/sorter_object.h"

namespace quillmere::python {

// Succeeds, or raises what adding would meet (closed, read, stopped),
// without blocking and without calling any user code.
bool check_adding(PySorter* self);

// What adding reuses from one item to the next: the encoded key, and the
// payload when it is pickled here rather than by pickle.dumps.
struct ItemBuffers {
  key::Buffer key;  // 64 bytes inside: most keys need no allocation
  std::vector<std::byte> payload;
};

// How an item becomes its payload: `encode(item)`, a codec's method; or,
// when `is_pickle`, pickle.dumps(item, 5), done in C++ first when
// `own_pickle` says pickle.dumps is the interpreter's own.
struct Encoder {
  PyObject* encode;
  bool is_pickle;
  bool own_pickle;
};

// Keys and encodes one item: its key into buffers.key, and returns its
// payload, which lies in buffers.payload or in `encoded` (the bytes the
// encoder returned). nullopt, with an exception set, on failure.
std::optional<std::span<const std::byte>> encode_record(PyObject* key_function, PyObject* item,
                                                        const Encoder& encoder,
                                                        ItemBuffers& buffers, Ref& encoded);

// Keys, encodes and pushes one item, reusing `buffers`. Raises and adds
// nothing on failure.
bool push_item(PySorter* self, PyObject* item, ItemBuffers& buffers);

// Hands one record to the core under the sorter's lock, and counts it.
bool push(PySorter* self, std::span<const std::byte> key, std::span<const std::byte> payload);

PyObject* sorter_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sorter_add_encoded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

}  // namespace quillmere::python
