// DataFrames sorted across processes: the keys of a frame's rows, made from
// its key columns' buffers; an input partition's rows put in key order, and
// cut where output partitions begin; and the sorted rows that each input
// partition gives an output partition merged. Keys travel as an
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

// _split_rows(keys, offsets, threads) -> (order, keys, offsets): the rows in
// order of their keys, equal keys in order of their rows (sorted on up to
// `threads` threads), and the keys in that order.
PyObject* split_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _cuts(keys, offsets, positions, index, bounds) -> list[int]: for each bound,
// a (key bytes, partition, position) place, how many of these rows, sorted
// rows of input partition `index` at `positions` (i64) in it, are placed
// before it.
PyObject* cuts(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _merge_runs(runs) -> positions: merges runs of sorted rows, each a tuple
// (keys, offsets, start), from their rows `start` on, equal keys in the order
// of the runs. Returns the merged rows as positions in the runs' rows from
// `start` on laid one after another.
PyObject* merge_runs(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillmere::python
