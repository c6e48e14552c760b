// _Lines: the command's text records, keyed a block at a time in C++.

#pragma once

#include "python/ref.h"

namespace quillmere::python {

// This interpreter's _Lines type, made on first use (a new reference, or
// nullptr with an exception set).
Ref lines_type();

}  // namespace quillmere::python
