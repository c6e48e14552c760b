// The per-interpreter cache of the layer's types.

#include "python/type_cache.h"

namespace quillmere::python {

Ref cached_type(const char* cache_key, PyType_Spec* spec) {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (dict == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no interpreter dict to keep the type in");
    return {};
  }
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(dict, cache_key, &found) < 0) return {};
  if (found != nullptr) return Ref::steal(found);
  Ref made = Ref::steal(PyType_FromSpec(spec));
  Ref name = Ref::steal(PyUnicode_FromString(cache_key));
  if (!made || !name) return {};
  // Two threads may race to make it; both use whichever was stored first.
  PyObject* winner = nullptr;
  if (PyDict_SetDefaultRef(dict, name.get(), made.get(), &winner) < 0) return {};
  return Ref::steal(winner);
}

Ref made_type(const char* cache_key) {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  PyObject* found = nullptr;
  if (dict == nullptr || PyDict_GetItemStringRef(dict, cache_key, &found) < 0) PyErr_Clear();
  return Ref::steal(found);
}

}  // namespace quillmere::python
