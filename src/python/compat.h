// What the C API of the oldest supported Python (3.13) lacks, given here in
// the form later ones provide. Nothing else in the sources depends on the
// version.

#pragma once

#include <Python.h>

namespace quillmere::python {

// The next item of an iterator: 1 with *item set to a new reference, 0 at
// the end, -1 with an exception set (as PyIter_NextItem, new in 3.14).
inline int next_item(PyObject* iterator, PyObject** item) {
#if PY_VERSION_HEX >= 0x030E0000
  return PyIter_NextItem(iterator, item);
#else
  *item = PyIter_Next(iterator);
  if (*item != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace quillmere::python
