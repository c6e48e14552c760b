// Sorter.write_to: the sorted payloads streamed to a binary handle in
// chunks of about 1 MiB, merged on a thread of their own ("quillmere-merge")
// while the calling thread hands the previous chunk to handle.write.

#pragma once

#include <Python.h>

namespace quillmere::python {

PyObject* sorter_write_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

}  // namespace quillmere::python
