// The layer's heap types, one copy per interpreter: a type object must never
// be shared between interpreters, and the module keeps no state, so each
// interpreter keeps its own copies in its own dict.

#pragma once

#include <Python.h>

#include "python/ref.h"

namespace quillmere::python {

// This interpreter's copy of the type made from `spec`, made on first use and
// kept under `cache_key` (a new reference, or nullptr with an exception set).
Ref cached_type(const char* cache_key, PyType_Spec* spec);

// The type kept under `cache_key` if this interpreter has made it, else
// nothing; never an exception.
Ref made_type(const char* cache_key);

}  // namespace quillmere::python
