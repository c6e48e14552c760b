// pickle.loads in C++ for the pickles the subset's encoder writes: the
// same objects pickle.loads gives for them, without calling it. Anything
// else is declined, and the caller goes to the real pickle.loads, so that
// its results and exceptions stay pickle's own. Runs attached to the
// interpreter, on the calling thread.

#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

namespace quillmere::python::pickle {

// pickle.loads(payload) for a payload made of the opcodes the encoder
// writes: a new reference, or nullptr, with no exception set, when the
// payload is anything else (damaged, another protocol, another opcode) or
// decoding fails, for the caller to hand to the real pickle.loads.
PyObject* loads(std::span<const std::byte> payload);

}  // namespace quillmere::python::pickle
