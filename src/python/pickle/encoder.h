// The pickles of the items people sort most, made in C++: the same bytes
// pickle.dumps(item, 5) gives, without calling it.
//
// The subset: None, bool, int, float, str, bytes, tuple, list and dict of
// exactly these types (no subclasses), nested at most kMaxDepth deep, whose
// whole pickle fits one frame. Anything else is declined, and the caller
// goes to the real pickle.dumps, so that its bytes and exceptions stay
// pickle's own. Runs attached to the interpreter, on the calling thread;
// lists and dicts are read under their critical sections.

#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

namespace quillmere::python::pickle {

// How deep containers may nest before the real pickle takes over.
inline constexpr int kMaxDepth = 64;

// Whether pickle.dumps and pickle.loads are the interpreter's own (the C
// accelerator's), which this subset stands in for (decoder.h is the other
// half). Looks up the pickle and _pickle modules; -1 with an exception set
// if that fails.
int is_interpreters_pickle(PyObject* dumps, PyObject* loads);

// Replaces `out` with pickle.dumps(item, 5). Returns false, with no
// exception set, when the item is outside the subset, and false with
// MemoryError set when memory runs out.
bool dumps(PyObject* item, std::vector<std::byte>& out);

}  // namespace quillmere::python::pickle
