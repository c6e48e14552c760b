// Ending adding and starting to read: the one way from a sorter's Adding
// state to its sorted output.
//
// Runs detached from its start to its end, holding the sorter's lock, and
// attaches only to check for signals. Marks the sorter read whatever the
// outcome once it has taken an Adding state. The core sorter then hands
// what it holds over to the merge plan and is dropped at once; the final
// merge, in the state or handed back, owns the private directory from
// then on. Any failure from then on leaves the state Stopped with
// everything spilled removed.

#pragma once

#include <Python.h>

#include <optional>

#include "merge/merged.h"
#include "python/sorter_object.h"

namespace quillmere::python {

// Install mode (`hand_back` null): the state becomes Reading with the new
// merge. Hand-back mode: the merge goes to *hand_back and the state stays
// Done. Returns false with an exception set.
bool finish(PySorter* self, std::optional<Merged>* hand_back);

}  // namespace quillmere::python
