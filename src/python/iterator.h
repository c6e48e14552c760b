// The reading path: Sorter.sort, Sorter.encoded and the iterator they
// return, _SortedIterator ("quillmere._SortedIterator").
//
// An iterator shares the sorter's lock and state. It pulls records from the
// merge a chunk at a time (up to 4096 records or about 1 MiB of payloads)
// with the interpreter released, and hands them out one by one; decoding
// runs with the lock released, so decode may use the sorter itself.

#pragma once

#include <Python.h>

namespace quillmere::python {

PyObject* sorter_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sorter_encoded(PyObject* self, PyObject* unused);

}  // namespace quillmere::python
