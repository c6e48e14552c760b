// _LineMerge: the command's -m, a merge of text inputs that are each in
// order already, keyed as _Lines keys them. Python reads the inputs a block
// of whole records at a time and feeds each block when the merge asks for
// it; C++ keys every record and hands back the merged records in chunks, so
// that memory holds one block per input, whatever their size.

#pragma once

#include "python/ref.h"

namespace quillmere::python {

// This interpreter's _LineMerge type, made on first use (a new reference,
// or nullptr with an exception set).
Ref line_merge_type();

}  // namespace quillmere::python
