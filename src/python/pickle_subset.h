// The pickles of the items people sort most, made and read in C++: the same
// bytes pickle.dumps(item, 5) gives, without calling it, and the same
// objects pickle.loads gives for them, without calling it either.
//
// The subset: None, bool, int, float, str, bytes, tuple, list and dict of
// exactly these types (no subclasses), nested at most kMaxDepth deep, whose
// whole pickle fits one frame. Anything else is declined, and the caller
// goes to the real pickle functions, so that their bytes, results and
// exceptions stay pickle's own. Both run attached to the interpreter, on
// the calling thread; lists and dicts are read under their critical
// sections.

#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

namespace quillmere::python::pickle {

// How deep containers may nest before the real pickle takes over.
inline constexpr int kMaxDepth = 64;

// Whether pickle.dumps and pickle.loads are the interpreter's own (the C
// accelerator's), which this subset stands in for. Looks up the pickle and
// _pickle modules; -1 with an exception set if that fails.
int is_interpreters_pickle(PyObject* dumps, PyObject* loads);

// Replaces `out` with pickle.dumps(item, 5). Returns false, with no
// exception set, when the item is outside the subset, and false with
// MemoryError set when memory runs out.
bool dumps(PyObject* item, std::vector<std::byte>& out);

// pickle.loads(payload) for a payload made of the opcodes this module's
// dumps writes: a new reference, or nullptr, with no exception set, when
// the payload is anything else (damaged, another protocol, another opcode)
// or decoding fails, for the caller to hand to the real pickle.loads.
PyObject* loads(std::span<const std::byte> payload);

}  // namespace quillmere::python::pickle
