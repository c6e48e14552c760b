// The extension module _quillmere: multi-phase initialisation, declared to
// run without the global interpreter lock, exporting the one class Sorter
// (and, private to the quillmere package, _Lines and _LineMerge for the
// command, the constructor's defaults, _keep_freed_memory for the command's
// process, and _sort_key, _split_items and _add_pieces for sorting bags
// across a cluster, _row_keys, _split_rows, _cuts and _merge_runs for
// DataFrames).

#include <Python.h>
#include <malloc.h>

#include <cstdint>
#include <utility>

#include "python/errors.h"
#include "python/key_encoder.h"
#include "python/package/frames.h"
#include "python/package/line_merge.h"
#include "python/package/lines.h"
#include "python/package/pieces.h"
#include "python/ref.h"
#include "python/sorter_type.h"
#include "sorter/sorter.h"

namespace quillmere::python {
namespace {

// Appends "Sorter" to __all__ (made if missing) and sets the attribute.
int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_quillmere can only initialise a module object");
    return -1;
  }
  Ref type = sorter_type();
  if (!type) return -1;
  Ref all;
  {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return -1;
    all = Ref::steal(found);
  }
  if (!all) {
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Ref appended = Ref::steal(PyObject_CallMethod(all.get(), "append", "s", "Sorter"));
  if (!appended) return -1;
  if (PyObject_SetAttrString(module, "Sorter", type.get()) < 0) return -1;
  Ref lines = lines_type();
  if (!lines || PyObject_SetAttrString(module, "_Lines", lines.get()) < 0) return -1;
  Ref merge = line_merge_type();
  if (!merge || PyObject_SetAttrString(module, "_LineMerge", merge.get()) < 0) return -1;
  // The constructor's defaults, for the package to take rather than repeat.
  const std::pair<const char*, std::uint64_t> defaults[] = {
      {"_DEFAULT_MAX_BYTES", kDefaultMaxBytes},
      {"_DEFAULT_MAX_OPEN", kDefaultMaxOpen},
      {"_DEFAULT_THREADS", kDefaultThreads},
  };
  for (const auto& [name, value] : defaults) {
    if (PyModule_Add(module, name, PyLong_FromUnsignedLongLong(value)) < 0) return -1;
  }
  return 0;
}

// The bytes a Sorter orders `key` by, so that work spread over processes can
// compare and route keys exactly as one Sorter would sort them.
PyObject* sort_key(PyObject*, PyObject* key) {
  return boundary([&]() -> PyObject* {
    key::Buffer buffer;
    if (!encode_key(key, buffer, 0)) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                     static_cast<Py_ssize_t>(buffer.size()));
  });
}

// For a process that is all one sort (the command): blocks of a megabyte
// are made and freed for every block read and written, and the allocator's
// defaults hand them back to the system and fault them in again, zeroed,
// each time. Kept instead, freed blocks are reused as they are.
PyObject* keep_freed_memory(PyObject*, PyObject*) {
  constexpr int kLargestFromHeap = 32 << 20;  // the most the allocator allows
  mallopt(M_MMAP_THRESHOLD, kLargestFromHeap);
  mallopt(M_TRIM_THRESHOLD, 8 * kLargestFromHeap);
  Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"_sort_key", sort_key, METH_O,
     "_sort_key($module, key, /)\n--\n\nThe bytes a Sorter orders this key by."},
    {"_split_items", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(split_items)),
     METH_FASTCALL,
     "_split_items($module, items, index, position, key, encode, pickled, bounds, outs, /)\n--\n\n"
     "Append each item's record to the piece of its output partition."},
    {"_check_sorter_arguments",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_sorter_arguments)),
     METH_FASTCALL | METH_KEYWORDS,
     "_check_sorter_arguments($module, /, *args, **kwargs)\n--\n\n"
     "Check arguments as Sorter() does, with its messages, without making one."},
    {"_add_pieces", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_pieces)),
     METH_FASTCALL,
     "_add_pieces($module, sorter, data, /)\n--\n\n"
     "Add the whole records at the start of data to a Sorter; return the bytes they took."},
    {"_row_keys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row_keys)),
     METH_FASTCALL,
     "_row_keys($module, columns, rows, /)\n--\n\n"
     "The keys of a frame's rows, made from its key columns: (keys, offsets)."},
    {"_split_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(split_rows)),
     METH_FASTCALL,
     "_split_rows($module, keys, offsets, threads, /)\n--\n\n"
     "Put rows in order of their keys: (order, keys, offsets)."},
    {"_cuts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cuts)), METH_FASTCALL,
     "_cuts($module, keys, offsets, positions, index, bounds, /)\n--\n\n"
     "How many sorted rows are placed before each bound."},
    {"_merge_runs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_runs)),
     METH_FASTCALL,
     "_merge_runs($module, runs, /)\n--\n\n"
     "Merge runs of sorted rows: their positions, laid one after another, in order."},
    {"_keep_freed_memory", keep_freed_memory, METH_NOARGS,
     "_keep_freed_memory($module, /)\n--\n\n"
     "Let this process reuse freed large blocks rather than return them to the system."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quillmere",
    .m_doc = "",
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace quillmere::python

PyMODINIT_FUNC PyInit__quillmere() { return PyModuleDef_Init(&quillmere::python::module_def); }
