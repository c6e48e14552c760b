// DataFrames sorted across processes: the keys of a frame's rows, made from
// its key columns' buffers; an input partition's rows put in key order and
// cut into one piece per output partition; and the sorted pieces of an
// output partition merged, a block of each at a time. Keys travel as an
// arena of bytes and little-endian u64 offsets (one more than there are
// rows); orders and positions as little-endian i64 row numbers. Private to
// the quillmere package.

#pragma once

#include <Python.h>

namespace quillmere::python {

// _row_keys(columns, rows) -> (keys, offsets): the key of each of `rows`
// rows. Each column is a tuple (kind, width, descending, missing_last,
// values, offsets, data, missing, validity, first): kind "i", "u" or "f"
// with `values` a buffer of `width`-byte numbers; "b" with Arrow binary
// buffers (`offsets` of `width` bytes, `data`, `validity` bits or None,
// the array's offset `first`); "o" with `values` a list of objects, keyed
// as a Sorter keys them. `missing` is None or a buffer of one byte a row,
// nonzero where the value is missing.
PyObject* row_keys(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _split_rows(keys, offsets, index, bounds, threads) -> (order, keys,
// offsets, cuts): the rows of input partition `index` in order of their
// places (key, index, row), the keys in that order, and for each bound the
// number of rows placed before it.
PyObject* split_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _merge_blocks(blocks) -> (positions, ends): merges blocks of sorted rows,
// each a tuple (keys, offsets, start, more), from their rows `start`, until
// a block with `more` behind it runs out (or all do). Returns the merged
// rows as positions in the blocks' taken rows laid one after another, and
// where each block's taken rows end.
PyObject* merge_blocks(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillmere::python
