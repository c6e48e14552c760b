// Pieces: items framed as (key bytes, payload) records, for sorting a bag
// across processes. One process splits its items into one piece per output
// partition; another adds a piece's records to its Sorter. Each record is a
// little-endian u32 key size, a u32 payload size, the key as the Sorter
// orders it, and the payload. Private to the quillmere package.

#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "python/ref.h"

namespace quillmere::python {

using Bytes = std::span<const std::byte>;

// Where an item (or a row) is in the whole input; boundaries are places too.
struct Place {
  Bytes key;
  long long partition;
  long long position;
};

// Places in order: by key bytes, then input partition, then position.
bool before(const Place& a, const Place& b);

// Reads `bounds`, a list of (key bytes, partition, position) tuples, into
// places, keeping strong references to their key bytes in `held`, which the
// places point into. False with TypeError set for anything else.
bool read_bounds(PyObject* bounds, std::vector<Place>& places, std::vector<Ref>& held);

// _split_items(items, index, position, key, encode, pickled, bounds, outs):
// appends each item's record to the bytearray in `outs` of its output
// partition: the number of bounds, (key bytes, partition, position) tuples in
// order, that its own place (key bytes, index, position of the item) is at
// or after. `key` is None or the key function; `encode` the codec's encode,
// or pickle.dumps when `pickled` (and then items pickled in C++ when they
// can be). Returns None; raises what keying or encoding raised.
PyObject* split_items(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _add_pieces(sorter, data) -> int: adds every whole record at the start of
// `data` to the sorter, keys as they are, and returns the bytes they took.
PyObject* add_pieces(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillmere::python
